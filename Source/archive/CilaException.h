#pragma once

#include <exception>
#include <string>
#include <utility>

namespace CILA {

// The bridge's errors. Each carries the text that is logged where it is caught.
class CilaException : public std::exception {
public:
    explicit CilaException(std::string text) : m_text(std::move(text)) {}
    const char* what() const noexcept override { return m_text.c_str(); }

private:
    std::string m_text;
};

// A value that cannot be read, written or accessed as asked.
class CilaRuntimeError : public CilaException {
public:
    using CilaException::CilaException;
};

// A frame that cannot be built or received.
class CilaProtoException : public CilaException {
public:
    using CilaException::CilaException;
};

} // namespace CILA
