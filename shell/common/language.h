#pragma once

#include <functional>
#include <string>

class QTranslator;

namespace lmk {

enum class Language { Russian, English };

// The language of the program's texts, chosen as gettext chooses: the locale of messages
// (LC_ALL, else LC_MESSAGES, else LANG); under C or POSIX, Russian, the program's own, and
// LANGUAGE is not read; else the first of LANGUAGE's list the program speaks, else the
// locale's. Russian for Russian locales, English for every other.
Language ChosenLanguage(const std::function<std::string(const char*)>& variable);

// Chooses from the environment and makes every text the program writes, the job's included,
// speak that language. Before anything is written.
Language UseEnvironmentLanguage();

// The program's translation, for QApplication::installTranslator.
QTranslator& ProgramTranslator();

// What UseEnvironmentLanguage chose; Russian before it.
Language ProgramLanguage();

}  // namespace lmk
