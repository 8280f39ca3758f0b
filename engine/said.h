#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace lmk {

// What puts a text into the reader's language: the text by its context and its words as the
// program writes them; an empty answer keeps those words.
using Translation = std::string (*)(const char* context, const char* text);

// Set once, before any job starts; without one every text stays as written.
void SetTranslation(Translation translation);

// Every text the program writes for its reader goes through here (the translation tools read
// the calls): the window's and the job's texts are written in Russian, the command line's help
// and usage errors in English.
std::string Said(const char* context, const char* text);

// `text` with %1 ... %9 replaced by the arguments in one pass, so that a "%2" inside a file's
// name stays as it is.
std::string Filled(std::string_view text, std::initializer_list<std::string_view> arguments);

}  // namespace lmk
