#pragma once
// Narrow output streams the formatter writes a line into; the sinks own them
// and the line ending.

#include <cstddef>
#include <string>

namespace LogUtils {

template <typename Char>
class OStream {
public:
    virtual void writeRange(const Char* begin, const Char* end)
    {
        if (begin && end > begin)
            writeBytes(begin, static_cast<std::size_t>(end - begin));
    }
    // A null text writes nothing.
    virtual void writeString(const Char* text)
    {
        if (text)
            writeRange(text, text + std::char_traits<Char>::length(text));
    }
    virtual void writeBytes(const Char* data, std::size_t count) = 0;
    virtual ~OStream() = default;
};

}  // namespace LogUtils

// Appends to a string the caller owns; grows as needed and drops nothing
// (std::bad_alloc when it cannot grow).
class ATLString_OStream : public LogUtils::OStream<char> {
public:
    explicit ATLString_OStream(std::string& target) : target_(&target) {}
    void writeBytes(const char* data, std::size_t count) override;

private:
    std::string* target_;
};

// Copies into a buffer the caller owns, [position, end); what does not fit is
// dropped silently, and no terminator is ever written.
class FixedBuffer_OStream : public LogUtils::OStream<char> {
public:
    FixedBuffer_OStream(char* begin, char* end) : position_(begin), end_(end) {}
    void writeBytes(const char* data, std::size_t count) override;

    // Where the next byte would go.
    char* position() const { return position_; }

private:
    char* position_;
    char* end_;
};
