#include "said.h"

#include <atomic>

namespace lmk {
namespace {

std::atomic<Translation> g_translation{nullptr};

}  // namespace

void SetTranslation(Translation translation) {
    g_translation.store(translation, std::memory_order_release);
}

std::string Said(const char* context, const char* text) {
    if (const Translation translation = g_translation.load(std::memory_order_acquire)) {
        std::string translated = translation(context, text);
        if (!translated.empty()) return translated;
    }
    return text;
}

std::string Filled(std::string_view text, std::initializer_list<std::string_view> arguments) {
    std::string filled;
    filled.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        const std::size_t number = static_cast<std::size_t>(next - '1');
        if (text[i] == '%' && next >= '1' && next <= '9' && number < arguments.size()) {
            filled += arguments.begin()[number];
            ++i;
        } else {
            filled += text[i];
        }
    }
    return filled;
}

}  // namespace lmk
