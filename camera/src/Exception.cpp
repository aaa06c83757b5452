// The GenICam exception base: keeps description, origin and the composed log text.
#include "GenICam/Exception.h"

#include <string>

namespace GenICam {

GenericException::GenericException(const char* description, const char* sourceFileName,
                                   unsigned int sourceLine)
    : GenericException(description, sourceFileName, sourceLine, "GenericException") {}

GenericException::GenericException(const char* description, const char* sourceFileName,
                                   unsigned int sourceLine, const char* exceptionType)
    : description_(description ? description : ""),
      sourceFileName_(sourceFileName ? sourceFileName : ""),
      sourceLine_(sourceLine),
      exceptionType_(exceptionType ? exceptionType : "GenericException") {
    what_ = description_ + " : " + exceptionType_ + " thrown (file '" + sourceFileName_ +
            "', line " + std::to_string(sourceLine_) + ")";
}

}  // namespace GenICam
