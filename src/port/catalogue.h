#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>
#include <utility>

#include "port/texts.h"

namespace tovrin {

// One language's texts: every text the program shows (log lines, captions, messages), by id.
// Adding a language is adding one catalogue. The catalogues are constant: only which one is
// active ever changes.
struct Catalogue {
  const char* language;
  std::array<const char*, TEXT_COUNT> texts;

  [[nodiscard]] const char* operator[](TextId id) const {
    return texts[static_cast<std::size_t>(id)];
  }
};

// The texts as the program has always shown them: the console's lines, the window's unless
// its locale asks for English, and everything that goes to the peer.
extern const Catalogue JAPANESE;
// The English window's.
extern const Catalogue ENGLISH;
// Every language the program speaks.
inline constexpr const Catalogue* CATALOGUES[] = {&JAPANESE, &ENGLISH};

// The front end's choice, before any other thread runs; tests switch it between sessions.
// Japanese until then.
void UseCatalogue(const Catalogue& catalogue);
[[nodiscard]] const Catalogue& ActiveCatalogue();

namespace catalogue_detail {

// Reached only when a catalogue entry does not compile: its conversions differ from the
// value types its Text names, or an entry is missing or given twice.
void ConversionsDifferFromTheTextsTypes();
void EntryMissingOrGivenTwice();

// The conversion of the printf format that starts at `format[i]` ('%'); "%%" has none.
struct Conversion {
  std::size_t length = 0;  // of the whole conversion, or 0 for "%%"
  char letter = 0;
  int longs = 0;  // how many 'l' stand before the letter
};

constexpr Conversion ConversionAt(std::string_view format, std::size_t i) {
  std::size_t end = i + 1;
  if (end < format.size() && format[end] == '%') return {};
  while (end < format.size() &&
         std::string_view("-+ #0123456789.").find(format[end]) != std::string_view::npos) {
    ++end;
  }
  Conversion conversion;
  while (end < format.size() && format[end] == 'l') {
    ++conversion.longs;
    ++end;
  }
  conversion.letter = end < format.size() ? format[end] : '\0';
  conversion.length = end - i + 1;
  return conversion;
}

template <class T>
constexpr bool Takes(const Conversion& c) {
  if (c.letter == 's') return c.longs == 0 && std::is_same_v<T, const char*>;
  if (c.letter != 'd') return false;
  return c.longs == 0 ? std::is_same_v<T, int> : c.longs == 2 && std::is_same_v<T, long long>;
}

// True when the conversions of `format` take exactly Params, in order.
template <class... Params>
constexpr bool ConversionsTake(std::string_view format) {
  constexpr std::size_t count = sizeof...(Params);
  std::array<Conversion, count + 1> found{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    const Conversion c = ConversionAt(format, i);
    if (c.length == 0) {
      ++i;
      continue;
    }
    if (n == count) return false;
    found[n++] = c;
    i += c.length - 1;
  }
  if (n != count) return false;
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return (Takes<Params>(found[I]) && ...);
  }
  (std::index_sequence_for<Params...>{});
}

struct Entry {
  TextId id;
  const char* text;

  template <class... Params>
  consteval Entry(Text<Params...> name, const char* words) : id(name.id), text(words) {
    if (!ConversionsTake<Params...>(words)) ConversionsDifferFromTheTextsTypes();
  }
};

}  // namespace catalogue_detail

// A catalogue from its entries, {text::NAME, "words"}, every text exactly once, in any order;
// made as the program is compiled.
template <std::size_t N>
consteval Catalogue MakeCatalogue(const char* language,
                                  const catalogue_detail::Entry (&entries)[N]) {
  Catalogue catalogue{language, {}};
  for (const catalogue_detail::Entry& entry : entries) {
    const char*& slot = catalogue.texts[static_cast<std::size_t>(entry.id)];
    if (slot != nullptr) catalogue_detail::EntryMissingOrGivenTwice();
    slot = entry.text;
  }
  for (const char* text : catalogue.texts) {
    if (text == nullptr) catalogue_detail::EntryMissingOrGivenTwice();
  }
  return catalogue;
}

}  // namespace tovrin
