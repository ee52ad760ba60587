#include "Progress.h"

#include <sys/ioctl.h>

#include "HostOptions.h"

namespace vbtool {

namespace {

bool continuationByte(char c) { return (static_cast<unsigned char>(c) & 0xc0) == 0x80; }

// The characters of UTF-8 text, as a terminal counts them (one column each).
size_t widthOf(const std::string& text) {
    size_t width = 0;
    for (char c : text) width += continuationByte(c) ? 0 : 1;
    return width;
}

// The first `width` characters of `text`.
std::string firstCharacters(const std::string& text, size_t width) {
    size_t seen = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!continuationByte(text[i]) && seen++ == width) return text.substr(0, i);
    }
    return text;
}

// "recreateVG" of "LVM_linux_lvm::recreateVG", or of a whole signature such as "virtual LVM::VG
// LVM_gpfs::recreateVG(const std::list<...>&, ...)".
std::string operationName(const std::string& operation) {
    std::string name = operation.substr(0, operation.find('('));
    const size_t scope = name.rfind("::");
    if (scope != std::string::npos) name.erase(0, scope + 2);
    const size_t blank = name.rfind(' ');
    if (blank != std::string::npos) name.erase(0, blank + 1);
    return name.empty() ? operation : name;
}

}  // namespace

size_t terminalColumns(int fd) {
    struct winsize size {};
    if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

std::string durationText(uint64_t ms) {
    char text[48];
    if (ms < 60000) {
        snprintf(text, sizeof text, "%llu.%llu s", static_cast<unsigned long long>(ms / 1000),
                 static_cast<unsigned long long>(ms % 1000 / 100));
    } else {
        const unsigned long long seconds = ms / 1000;
        snprintf(text, sizeof text, "%llu min %02llu s", seconds / 60, seconds % 60);
    }
    return text;
}

StatusLine::StatusLine(FILE* out, size_t columns) : out_(out), columns_(columns) {}

StatusLine::~StatusLine() { clear(); }

void StatusLine::show(const std::string& text) {
    // One column is left free: a character in the last one makes some terminals wrap at once.
    const size_t room = columns_ > 1 ? columns_ - 1 : 1;
    std::string fitted = traceText(text);
    if (widthOf(fitted) > room) {
        fitted =
            room > 3 ? firstCharacters(fitted, room - 3) + "..." : firstCharacters(fitted, room);
    }
    const size_t width = widthOf(fitted);
    std::string bytes = "\r" + fitted;
    // Blanks over what is left of a longer line before.
    if (shownWidth_ > width) bytes += std::string(shownWidth_ - width, ' ');
    write(bytes);
    shown_ = fitted;
    shownWidth_ = width;
}

void StatusLine::clear() {
    if (shown_.empty()) return;
    write("\r" + std::string(shownWidth_, ' ') + "\r");
    shown_.clear();
    shownWidth_ = 0;
}

void StatusLine::print(const std::string& line) {
    const std::string shown = shown_;
    clear();
    write(line + "\n");
    if (!shown.empty()) show(shown);
}

void StatusLine::write(const std::string& bytes) {
    fwrite(bytes.data(), 1, bytes.size(), out_);
    fflush(out_);
}

void TerminalProgress::step(const std::string& /*operation*/, size_t n, size_t total,
                            const std::string& what) {
    n_ = n;
    total_ = total;
    what_ = what;
    line_.show("[" + std::to_string(n) + "/" + std::to_string(total) + "] " + what);
}

void TerminalProgress::finished(const std::string& operation, bool ok, uint64_t ms) {
    std::string last = operationName(operation) + ": ";
    if (ok) {
        last += "done in " + durationText(ms);
    } else {
        last += "failed after " + durationText(ms);
        if (n_ > 0) {
            last += ", at step " + std::to_string(n_) + " of " + std::to_string(total_) + " (" +
                    what_ + ")";
        }
    }
    line_.clear();
    line_.print(traceText(last));
    n_ = total_ = 0;
    what_.clear();
}

}  // namespace vbtool
