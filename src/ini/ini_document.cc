#include "ini/ini_document.h"

#include <stdint.h>

#include <algorithm>
#include <tuple>
#include <utility>

namespace {

// Spaces and tabs are never part of a section or key name.
std::wstring_view NormalizeName(std::wstring_view name) {
  return TrimmedLeft(TrimmedRight(name, kNameBlanks), kNameBlanks);
}

// Folds only A-Z, whatever the locale, so the order of names never changes
// while a map holds them.
uint32_t FoldAscii(wchar_t c) {
  uint32_t value = static_cast<uint32_t>(c);
  return value >= 'A' && value <= 'Z' ? value + ('a' - 'A') : value;
}

// The entry of |map| named |name| less its blanks; a missing one is made
// for |owner|, and the caller names it after the map's key. One lookup, and
// one insertion when new.
template <typename Map, typename Owner>
typename Map::iterator FindOrCreate(Map* map, std::wstring_view name,
                                    Owner* owner) {
  std::wstring_view normalized = NormalizeName(name);
  auto it = map->lower_bound(normalized);
  if (it == map->end() || map->key_comp()(normalized, it->first)) {
    it = map->emplace_hint(it, std::piecewise_construct,
                           std::forward_as_tuple(normalized),
                           std::forward_as_tuple(owner));
  }
  return it;
}

}  // namespace

std::wstring_view TrimmedLeft(std::wstring_view str, std::wstring_view set) {
  str.remove_prefix(std::min(str.find_first_not_of(set), str.size()));
  return str;
}

std::wstring_view TrimmedRight(std::wstring_view str, std::wstring_view set) {
  // npos + 1 wraps to 0, which empties a view made only of |set|.
  return str.substr(0, str.find_last_not_of(set) + 1);
}

void TrimLeft(std::wstring* str, std::wstring_view set) {
  str->erase(0, str->size() - TrimmedLeft(*str, set).size());
}

void TrimRight(std::wstring* str, std::wstring_view set) {
  str->resize(TrimmedRight(*str, set).size());
}

void TrimBoth(std::wstring* str, std::wstring_view set) {
  TrimRight(str, set);
  TrimLeft(str, set);
}

bool IniNameLess::operator()(std::wstring_view a, std::wstring_view b) const {
  // The end of a name compares as the NUL that ends it.
  size_t length = std::min(a.size(), b.size());
  for (size_t i = 0; i < length; ++i) {
    // Names share long runs of equal characters, which need no folding.
    if (a[i] == b[i]) {
      if (a[i] == 0) return false;
      continue;
    }
    uint32_t ca = FoldAscii(a[i]);
    uint32_t cb = FoldAscii(b[i]);
    if (ca != cb) return ca < cb;
  }
  if (a.size() == b.size()) return false;
  // The longer name goes after unless its next character is the NUL that
  // ends it too.
  return a.size() < b.size() ? b[length] != 0 : false;
}

IniSection::IniSection(IniDocument* owner)
    : owner_(owner), keys_(&owner->nodes_) {}

IniKey* IniSection::FindKey(std::wstring_view name) {
  auto it = keys_.find(NormalizeName(name));
  return it == keys_.end() ? nullptr : &it->second;
}

const IniKey* IniSection::FindKey(std::wstring_view name) const {
  return const_cast<IniSection*>(this)->FindKey(name);
}

IniKey* IniSection::FindOrCreateKey(std::wstring_view name) {
  auto it = FindOrCreate(&keys_, name, this);
  it->second.name_ = &it->first;
  return &it->second;
}

void IniDocument::Clear() {
  sections_.clear();
  nodes_.release();
}

IniSection* IniDocument::FindSection(std::wstring_view name) {
  auto it = sections_.find(NormalizeName(name));
  return it == sections_.end() ? nullptr : &it->second;
}

const IniSection* IniDocument::FindSection(std::wstring_view name) const {
  return const_cast<IniDocument*>(this)->FindSection(name);
}

IniSection* IniDocument::FindOrCreateSection(std::wstring_view name) {
  auto it = FindOrCreate(&sections_, name, this);
  it->second.name_ = &it->first;
  return &it->second;
}

std::wstring IniDocument::GetValue(const std::wstring& section,
                                   const std::wstring& key) const {
  const IniSection* found_section = FindSection(section);
  if (!found_section) return std::wstring();
  const IniKey* found_key = found_section->FindKey(key);
  return found_key ? found_key->value() : std::wstring();
}

void IniDocument::SetValue(const std::wstring& section, const std::wstring& key,
                           const std::wstring& value) {
  FindOrCreateSection(section)->FindOrCreateKey(key)->set_value(value);
}
