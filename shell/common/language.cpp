#include "language.h"

#include <cstdlib>
#include <optional>
#include <string_view>

#include <QString>
#include <QTranslator>

#include "said.h"

namespace lmk {
namespace {

bool IsPlainLocale(std::string_view locale) {
    return locale.empty() || locale == "C" || locale == "POSIX" || locale.starts_with("C.");
}

std::optional<Language> LanguageNamed(std::string_view name) {
    if (name.starts_with("ru")) return Language::Russian;
    if (name.starts_with("en")) return Language::English;
    return std::nullopt;
}

Language g_language = Language::Russian;

std::string Translated(const char* context, const char* text) {
    return ProgramTranslator().translate(context, text).toStdString();
}

}  // namespace

Language ChosenLanguage(const std::function<std::string(const char*)>& variable) {
    std::string locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        locale = variable(name);
        if (!locale.empty()) break;
    }
    if (IsPlainLocale(locale)) return Language::Russian;
    const std::string languages = variable("LANGUAGE");
    std::string_view list = languages;
    while (!list.empty()) {
        const std::size_t colon = list.find(':');
        if (const auto named = LanguageNamed(list.substr(0, colon))) return *named;
        list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    }
    return LanguageNamed(locale).value_or(Language::English);
}

Language UseEnvironmentLanguage() {
    const Language language = ChosenLanguage([](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    });
    // Russian is what the texts say as written, but for the command line's help and errors.
    const QString catalogue = language == Language::Russian
                                  ? QStringLiteral(":/i18n/lmk-video_ru.qm")
                                  : QStringLiteral(":/i18n/lmk-video_en.qm");
    if (ProgramTranslator().load(catalogue)) SetTranslation(Translated);
    g_language = language;
    return language;
}

QTranslator& ProgramTranslator() {
    // Never destroyed: a job's thread may still be writing a line while the program exits.
    static QTranslator* const translator = new QTranslator;
    return *translator;
}

Language ProgramLanguage() {
    return g_language;
}

}  // namespace lmk
