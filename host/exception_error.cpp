// YbException, CWmError and FXErrorUtil.
#include <boost/make_shared.hpp>
#include <cstdarg>
#include <cstdio>

#include "host/CWmError.h"
#include "host/YbException.h"

YbException::YbException(const char* func, const char* message, const char* file, int line, int err)
    : func_(func ? func : ""),
      message_(message ? message : ""),
      file_(file ? file : ""),
      line_(line),
      err_(err) {}

YbException::YbException(const char* func, const std::string& message, const char* file, int line,
                         int err)
    : YbException(func, message.c_str(), file, line, err) {}

YbException::~YbException() = default;

const char* YbException::what() const noexcept { return message_.c_str(); }

FXCodeLocation::FXCodeLocation(const char* file, const char* function, int line)
    : file(file ? file : ""), function(function ? function : ""), line(line) {}

CWmError::CWmError() : code_(0) {}

CWmError::CWmError(int32_t code, boost::shared_ptr<Detail> detail)
    : code_(code), detail_(std::move(detail)) {}

CWmError CWmError::Success() { return CWmError(); }

unsigned CWmError::GetWin32Code() const { return detail_ ? detail_->win32Code : 0; }

int CWmError::GetErrno() const { return detail_ ? detail_->errnoValue : 0; }

std::string CWmError::GetMessage() const { return detail_ ? detail_->message : std::string(); }

std::vector<FXCodeLocation> CWmError::GetLocations() const {
    return detail_ ? detail_->locations : std::vector<FXCodeLocation>();
}

std::string CWmError::ToString() const {
    char code[32];
    snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(code_));
    std::string text = code;
    if (!detail_) return text;
    if (!detail_->message.empty()) text += ": " + detail_->message;
    for (const FXCodeLocation& where : detail_->locations) {
        text +=
            " at " + where.function + " (" + where.file + ":" + std::to_string(where.line) + ")";
    }
    return text;
}

CWmError CWmError::Push(const FXCodeLocation& where) {
    auto detail = detail_ ? boost::make_shared<Detail>(*detail_) : boost::make_shared<Detail>();
    detail->locations.push_back(where);
    detail_ = detail;
    return *this;
}

CWmError FXErrorUtil::ErrorWin32(const FXCodeLocation& where, unsigned code) {
    auto detail = boost::make_shared<CWmError::Detail>();
    detail->win32Code = code;
    detail->message = code == 50 ? "The request is not supported (Win32 error 50)"
                                 : "Win32 error " + std::to_string(code);
    detail->locations.push_back(where);
    // HRESULT_FROM_WIN32: severity bit, facility 7, the code in the low 16 bits.
    const uint32_t hresult = 0x80070000u | (code & 0xffffu);
    return CWmError(static_cast<int32_t>(hresult), detail);
}

CWmError FXErrorUtil::ErrorErrNo(const FXCodeLocation& where, int err, const char* fmt, ...) {
    auto detail = boost::make_shared<CWmError::Detail>();
    detail->errnoValue = err;
    char buffer[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buffer, sizeof buffer, fmt ? fmt : "", args);
    va_end(args);
    detail->message = buffer;
    detail->locations.push_back(where);
    return CWmError(err > 0 ? -err : -1, detail);
}
