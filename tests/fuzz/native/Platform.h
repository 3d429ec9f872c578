#pragma once
// What the profile stand-ins of Platform.cpp answer for the input at hand.

#include <string>
#include <utility>
#include <vector>

namespace native {

struct ProfileImage {
    // Each section's name and its lines, each line followed by a terminator,
    // the whole followed by one more.
    std::vector<std::pair<std::wstring, std::wstring>> sections;
    // The names the same way.
    std::wstring names;
    // A lying platform stores what fits without terminators and answers
    // liedCount.
    bool lying = false;
    unsigned liedCount = 0;
};

ProfileImage& profileImage();

}  // namespace native
