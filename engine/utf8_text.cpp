#include "utf8_text.h"

namespace lmk {
namespace {

bool IsContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

std::pair<char32_t, std::size_t> DecodeUtf8(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80       ? 1
                               : lead >> 5 == 6  ? 2
                               : lead >> 4 == 14 ? 3
                               : lead >> 3 == 30 ? 4
                                                 : 0;
    if (length == 0 || at + length > text.size()) return {lead, 1};
    char32_t code = length == 1 ? lead : lead & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if (!IsContinuationByte(text[at + i])) return {lead, 1};
        code = code << 6 | (static_cast<unsigned char>(text[at + i]) & 0x3f);
    }
    return {code, length};
}

std::string ShortenedInTheMiddle(std::string_view text, std::size_t head, std::size_t tail,
                                 std::string_view mark) {
    std::size_t headEnd = head;
    while (headEnd > 0 && IsContinuationByte(text[headEnd])) --headEnd;
    std::size_t tailStart = text.size() - tail;
    while (tailStart < text.size() && IsContinuationByte(text[tailStart])) ++tailStart;
    return std::string(text.substr(0, headEnd)) + std::string(mark) +
           std::string(text.substr(tailStart));
}

}  // namespace lmk
