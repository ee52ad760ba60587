#include "core/Command.h"

#include "core/ShellWord.h"
#include "host/YbProcess.h"

namespace volbridge {

CommandLine::CommandLine(const Origin& at, std::string text) : at_(at), text_(std::move(text)) {}

CommandLine& CommandLine::word(const std::string& value, const char* what, int line) {
    requireShellWord(value, what, at_.func, at_.unit, line);
    text_ += ' ';
    text_ += value;
    return *this;
}

CommandLine& CommandLine::arg(const std::string& value, const char* what, int line) {
    requireShellWord(value, what, at_.func, at_.unit, line);
    text_ += value;
    return *this;
}

CommandLine& CommandLine::joined(const std::list<std::string>& values, const std::string& separator,
                                 const char* what, int line) {
    bool first = true;
    for (const std::string& value : values) {
        requireShellWord(value, what, at_.func, at_.unit, line);
        if (!first) text_ += separator;
        text_ += value;
        first = false;
    }
    return *this;
}

CommandLine& CommandLine::literal(const std::string& text) {
    text_ += text;
    return *this;
}

CommandLine CommandLine::fromOperator(const Origin& at, const std::string& line) {
    return CommandLine(at, line);
}

CommandResult run(const CommandLine& cmd, OutputInLog output) {
    CommandResult result;
    result.status = YbProcess::system(cmd.text().c_str(), &result.out, &result.err, 0,
                                      output == OutputInLog::Withheld);
    return result;
}

}  // namespace volbridge
