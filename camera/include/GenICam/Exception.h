// The SDK's exception family. Not derived from std::exception: catch GenICam::GenericException.
#pragma once

#include <string>

namespace GenICam {

class GenericException {
public:
    GenericException(const char* description, const char* sourceFileName, unsigned int sourceLine);
    GenericException(const char* description, const char* sourceFileName, unsigned int sourceLine,
                     const char* exceptionType);
    virtual ~GenericException() = default;

    // The text the exception was created with; this is what a program shows its user.
    const char* GetDescription() const noexcept { return description_.c_str(); }
    const char* GetSourceFileName() const noexcept { return sourceFileName_.c_str(); }
    unsigned int GetSourceLine() const noexcept { return sourceLine_; }
    const char* GetExceptionType() const noexcept { return exceptionType_.c_str(); }
    // For logs, with type and origin: "<description> : <type> thrown (file '<f>', line <n>)".
    virtual const char* what() const noexcept { return what_.c_str(); }

private:
    std::string description_;
    std::string sourceFileName_;
    unsigned int sourceLine_;
    std::string exceptionType_;
    std::string what_;
};

#define GENICAM_DECLARE_EXCEPTION(Name)                                                    \
    class Name : public GenericException {                                                 \
    public:                                                                                \
        Name(const char* description, const char* sourceFileName, unsigned int sourceLine) \
            : GenericException(description, sourceFileName, sourceLine, #Name) {}          \
        Name(const char* description, const char* sourceFileName, unsigned int sourceLine, \
             const char* exceptionType)                                                    \
            : GenericException(description, sourceFileName, sourceLine, exceptionType) {}  \
    }

GENICAM_DECLARE_EXCEPTION(BadAllocException);
GENICAM_DECLARE_EXCEPTION(InvalidArgumentException);  // an argument or value the callee rejects
GENICAM_DECLARE_EXCEPTION(OutOfRangeException);       // a value outside a feature's range
GENICAM_DECLARE_EXCEPTION(PropertyException);
GENICAM_DECLARE_EXCEPTION(RuntimeException);       // a failure of the device or the environment
GENICAM_DECLARE_EXCEPTION(LogicalErrorException);  // a misuse of the API by the caller
GENICAM_DECLARE_EXCEPTION(AccessException);        // a feature absent, unreadable or unwritable
GENICAM_DECLARE_EXCEPTION(TimeoutException);
GENICAM_DECLARE_EXCEPTION(DynamicCastException);

#undef GENICAM_DECLARE_EXCEPTION

}  // namespace GenICam
