#include "xbase/text.h"

#include <cstring>

namespace {

bool isAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

void c4trimBlanks(char* text, int n) {
    if (text == nullptr || n <= 0) return;
    int end = 0;
    while (end < n - 1 && text[end] != '\0') ++end;
    text[end] = '\0';
    while (end > 0 && text[end - 1] == ' ') text[--end] = '\0';
}

void c4upperN(char* text, int n) {
    for (int i = 0; i < n; ++i)
        if (text[i] >= 'a' && text[i] <= 'z') text[i] = char(text[i] - 'a' + 'A');
}

void c4lowerN(char* text, int n) {
    for (int i = 0; i < n; ++i)
        if (text[i] >= 'A' && text[i] <= 'Z') text[i] = char(text[i] - 'A' + 'a');
}

void c4upper(char* text) {
    if (text != nullptr) c4upperN(text, int(std::strlen(text)));
}

void c4lower(char* text) {
    if (text != nullptr) c4lowerN(text, int(std::strlen(text)));
}

int c4log2(long n) {
    int count = 0;
    while (n > 1) {
        n /= 2;
        ++count;
    }
    return count;
}

void c4encode(char* destination, const char* data, const char* targetPicture,
              const char* sourcePicture) {
    const size_t targetLen = std::strlen(targetPicture);
    std::memcpy(destination, targetPicture, targetLen);
    for (size_t s = 0; sourcePicture[s] != '\0';) {
        const char letter = sourcePicture[s];
        size_t runLen = 1;
        while (sourcePicture[s + runLen] == letter) ++runLen;
        if (isAlpha(letter)) {
            const char* t = std::strchr(targetPicture, letter);
            if (t != nullptr) {
                const size_t at = size_t(t - targetPicture);
                for (size_t i = 0; i < runLen && at + i < targetLen && targetPicture[at + i] == letter; ++i)
                    destination[at + i] = data[s + i];
            }
        }
        s += runLen;
    }
}
