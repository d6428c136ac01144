// Runtime service over the seam: raised errors (errors.h).
#include "platform/errors.h"

#include "platform/platform.h"
#include "platform/text.h"

RaisedError::RaisedError(long number, std::wstring source, std::wstring description)
    : std::runtime_error(ToUtf8(description)),
      Number(number),
      Source(std::move(source)),
      Description(std::move(description)) {}

std::wstring RuntimeErrorText(long number) {
    switch (number) {
        case RuntimeErr::InvalidCall: return L"Invalid procedure call or argument";
        case RuntimeErr::Overflow: return L"Overflow";
        case RuntimeErr::OutOfMemory: return L"Out of memory";
        case RuntimeErr::SubscriptRange: return L"Subscript out of range";
        case RuntimeErr::FileNotFound: return L"File not found";
        case RuntimeErr::InputPastEnd: return L"Input past end of file";
        case RuntimeErr::PathFileAccess: return L"Path/File access error";
        default: return L"";
    }
}

RaisedError RuntimeError(long number) {
    return RaisedError(number, platform::AppExeName(), RuntimeErrorText(number));
}
