#include "ini/ini_document.h"

#include <stdint.h>

#include <tuple>
#include <utility>

namespace {

// Spaces and tabs are never part of a section or key name.
const wchar_t kNameBlanks[] = L" \t";

std::wstring NormalizeName(const std::wstring& name) {
  std::wstring normalized = name;
  TrimBoth(&normalized, kNameBlanks);
  return normalized;
}

// Folds only A-Z, whatever the locale, so the order of names never changes
// while a map holds them.
uint32_t FoldAscii(wchar_t c) {
  uint32_t value = static_cast<uint32_t>(c);
  return value >= 'A' && value <= 'Z' ? value + ('a' - 'A') : value;
}

// The entry of |map| named |name| less its blanks; a missing one is made
// from that name and |owner|. One lookup, and one insertion when new.
template <typename Map, typename Owner>
typename Map::mapped_type* FindOrCreate(Map* map, const std::wstring& name,
                                        Owner* owner) {
  std::wstring normalized = NormalizeName(name);
  auto it = map->lower_bound(normalized);
  if (it == map->end() || map->key_comp()(normalized, it->first)) {
    // The map's key is copied from |normalized| before the entry takes it.
    it = map->emplace_hint(it, std::piecewise_construct,
                           std::forward_as_tuple(normalized),
                           std::forward_as_tuple(std::move(normalized), owner));
  }
  return &it->second;
}

}  // namespace

void TrimLeft(std::wstring* str, std::wstring_view set) {
  str->erase(0, str->find_first_not_of(set));
}

void TrimRight(std::wstring* str, std::wstring_view set) {
  // npos + 1 wraps to 0, which empties a string made only of |set|.
  str->erase(str->find_last_not_of(set) + 1);
}

void TrimBoth(std::wstring* str, std::wstring_view set) {
  TrimRight(str, set);
  TrimLeft(str, set);
}

bool IniNameLess::operator()(const std::wstring& a,
                             const std::wstring& b) const {
  const wchar_t* pa = a.c_str();
  const wchar_t* pb = b.c_str();
  for (;; ++pa, ++pb) {
    uint32_t ca = FoldAscii(*pa);
    uint32_t cb = FoldAscii(*pb);
    if (ca != cb) return ca < cb;
    if (ca == 0) return false;
  }
}

IniKey* IniSection::FindKey(const std::wstring& name) {
  auto it = keys_.find(NormalizeName(name));
  return it == keys_.end() ? nullptr : &it->second;
}

const IniKey* IniSection::FindKey(const std::wstring& name) const {
  return const_cast<IniSection*>(this)->FindKey(name);
}

IniKey* IniSection::FindOrCreateKey(const std::wstring& name) {
  return FindOrCreate(&keys_, name, this);
}

IniSection* IniDocument::FindSection(const std::wstring& name) {
  auto it = sections_.find(NormalizeName(name));
  return it == sections_.end() ? nullptr : &it->second;
}

const IniSection* IniDocument::FindSection(const std::wstring& name) const {
  return const_cast<IniDocument*>(this)->FindSection(name);
}

IniSection* IniDocument::FindOrCreateSection(const std::wstring& name) {
  return FindOrCreate(&sections_, name, this);
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
