#include "ToolInProcess.h"

#include <iostream>
#include <sstream>

// tools/volbridge.cpp's main(), renamed by a compile definition in this test program.
int volbridgeToolMain(int argc, char** argv);

namespace vbtest {

namespace {

// Sends a stream into a string for the lifetime of the object.
class Capture {
  public:
    explicit Capture(std::ostream& stream) : stream_(stream), saved_(stream.rdbuf(text_.rdbuf())) {}
    ~Capture() { stream_.rdbuf(saved_); }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    std::string text() const { return text_.str(); }

  private:
    std::ostream& stream_;
    std::ostringstream text_;
    std::streambuf* saved_;
};

}  // namespace

InProcessRun runToolInProcess(const std::vector<std::string>& args) {
    std::vector<std::string> words{"volbridge"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    InProcessRun run;
    Capture out(std::cout);
    Capture err(std::cerr);
    run.status = volbridgeToolMain(static_cast<int>(words.size()), argv.data());
    std::cout.flush();
    std::cerr.flush();
    run.out = out.text();
    run.err = err.text();
    return run;
}

}  // namespace vbtest
