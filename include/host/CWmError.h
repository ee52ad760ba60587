// Status values returned by operations that report failure without throwing.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "host/HostExport.h"

// Where a status was made or passed through: source unit, function text, line.
struct VBHOST_API FXCodeLocation {
    FXCodeLocation(const char* file, const char* function, int line);

    std::string file;
    std::string function;
    int line;
};

// A signed 32-bit code plus shared detail (message and the locations it passed through).
// Code 0 is success; a negative code is an error.
class VBHOST_API CWmError {
  public:
    struct Detail {
        std::string message;
        std::vector<FXCodeLocation> locations;
        unsigned win32Code = 0;  // set for errors made by FXErrorUtil::ErrorWin32
        int errnoValue = 0;      // set for errors made by FXErrorUtil::ErrorErrNo
    };

    CWmError();
    CWmError(int32_t code, boost::shared_ptr<Detail> detail);

    static CWmError Success();

    bool IsError() const { return code_ < 0; }
    bool IsSuccess() const { return !IsError(); }
    int32_t GetCode() const { return code_; }
    // The Win32-style code (50 for "not supported") or 0 when the error is not of that kind.
    unsigned GetWin32Code() const;
    // The errno value of an error made from one, else 0.
    int GetErrno() const;
    std::string GetMessage() const;
    std::vector<FXCodeLocation> GetLocations() const;
    // One line: code, message and the locations, innermost first.
    std::string ToString() const;

    // Adds a caller's location to the detail and returns the value. Copies made before keep
    // their own list of locations.
    CWmError Push(const FXCodeLocation& where);

  private:
    int32_t code_;
    boost::shared_ptr<Detail> detail_;
};

struct VBHOST_API FXErrorUtil {
    // An error carrying a Win32-style code (HRESULT form, so it is negative).
    static CWmError ErrorWin32(const FXCodeLocation& where, unsigned code);
    // An error carrying an errno value and a printf-style message.
    static CWmError ErrorErrNo(const FXCodeLocation& where, int err, const char* fmt, ...)
        __attribute__((format(printf, 3, 4)));
};
