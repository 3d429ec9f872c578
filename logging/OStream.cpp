#include "OStream.h"

#include <cstring>

void ATLString_OStream::writeBytes(const char* data, std::size_t count)
{
    if (data && count)
        target_->append(data, count);
}

void FixedBuffer_OStream::writeBytes(const char* data, std::size_t count)
{
    if (!data || position_ >= end_)
        return;
    const std::size_t room = static_cast<std::size_t>(end_ - position_);
    const std::size_t taken = count < room ? count : room;
    std::memcpy(position_, data, taken);
    position_ += taken;
}
