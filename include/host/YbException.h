// The one exception type of the library and of its host services.
#pragma once

#include <exception>
#include <string>

#include "host/HostExport.h"

// A failure of an operation: the throwing function's name, a message that names the object and
// the value, the source unit, the line and an error number (-1 unless an operation says otherwise).
class VBHOST_API YbException : public std::exception {
  public:
    YbException(const char* func, const char* message, const char* file, int line, int err);
    YbException(const char* func, const std::string& message, const char* file, int line, int err);
    YbException(const YbException&) = default;
    YbException& operator=(const YbException&) = default;
    ~YbException() override;

    const std::string& getMessage() const { return message_; }
    const std::string& getFuncName() const { return func_; }
    const std::string& getFileName() const { return file_; }
    int getLineNum() const { return line_; }
    int getErrno() const { return err_; }

    // The message, so that a generic std::exception handler still shows something useful.
    const char* what() const noexcept override;

  private:
    std::string func_;
    std::string message_;
    std::string file_;
    int line_;
    int err_;
};
