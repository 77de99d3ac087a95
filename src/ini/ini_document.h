#ifndef INI_INI_DOCUMENT_H_
#define INI_INI_DOCUMENT_H_

#include <istream>
#include <map>
#include <memory_resource>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

// The blanks that never belong to the ends of a section or key name, and
// that the reader drops from the start of every line.
inline constexpr std::wstring_view kNameBlanks = L" \t";

// Removes from |str| the leading (TrimLeft), trailing (TrimRight) or both
// (TrimBoth) characters that are in |set|.
void TrimLeft(std::wstring* str, std::wstring_view set);
void TrimRight(std::wstring* str, std::wstring_view set);
void TrimBoth(std::wstring* str, std::wstring_view set);
// The same for a view: the part of |str| that TrimLeft or TrimRight keeps.
std::wstring_view TrimmedLeft(std::wstring_view str, std::wstring_view set);
std::wstring_view TrimmedRight(std::wstring_view str, std::wstring_view set);

// Orders section and key names: ASCII letters compare without regard to
// case, every other character by its value, and a name ends at its first NUL.
// Transparent, so that the maps can be searched with a view of a name.
struct IniNameLess {
  using is_transparent = void;
  bool operator()(std::wstring_view a, std::wstring_view b) const;
};

class IniDocument;
class IniSection;

// A named value in a section. Created only by IniSection::FindOrCreateKey.
class IniKey {
 public:
  explicit IniKey(IniSection* owner) : owner_(owner) {}
  IniKey(const IniKey&) = delete;
  IniKey& operator=(const IniKey&) = delete;

  // The name the key was created with, less blanks at its ends.
  const std::wstring& name() const { return *name_; }
  const std::wstring& value() const { return value_; }
  void set_value(const std::wstring& value) { value_ = value; }
  void set_value(std::wstring&& value) { value_ = std::move(value); }
  IniSection* owner() const { return owner_; }

 private:
  friend class IniSection;

  // The section's map holds the name as the key of this entry; the key
  // points at it rather than keeping a second copy.
  const std::wstring* name_ = nullptr;
  std::wstring value_;
  IniSection* owner_;
};

// A named group of keys, owned by its document.
class IniSection {
 public:
  typedef std::pmr::map<std::wstring, IniKey, IniNameLess> KeyMap;

  explicit IniSection(IniDocument* owner);
  IniSection(const IniSection&) = delete;
  IniSection& operator=(const IniSection&) = delete;

  IniDocument* owner() const { return owner_; }
  // The name the section was created with, less blanks at its ends.
  const std::wstring& name() const { return *name_; }
  // The keys in IniNameLess order of their names.
  const KeyMap& keys() const { return keys_; }

  // The key whose name equals |name| less spaces and tabs at its ends, or
  // null.
  IniKey* FindKey(std::wstring_view name);
  const IniKey* FindKey(std::wstring_view name) const;
  // As FindKey, but creates an empty key when there is none.
  IniKey* FindOrCreateKey(std::wstring_view name);

 private:
  friend class IniDocument;

  IniDocument* owner_;
  // The key of this entry in the document's map, as for IniKey.
  const std::wstring* name_ = nullptr;
  KeyMap keys_;
};

// One INI file in memory: sections of keys with text values. Names compare
// as IniNameLess says and lose the spaces and tabs at their ends. No
// operation fails on content; only Load and Save report a result.
class IniDocument {
 public:
  typedef std::pmr::map<std::wstring, IniSection, IniNameLess> SectionMap;

  IniDocument() : sections_(&nodes_) {}
  IniDocument(const IniDocument&) = delete;
  IniDocument& operator=(const IniDocument&) = delete;

  // The sections in IniNameLess order of their names.
  const SectionMap& sections() const { return sections_; }

  // Removes every section and key.
  void Clear();

  IniSection* FindSection(std::wstring_view name);
  const IniSection* FindSection(std::wstring_view name) const;
  IniSection* FindOrCreateSection(std::wstring_view name);

  // The value of the key, or the empty string when the section or the key is
  // missing. Creates nothing.
  std::wstring GetValue(const std::wstring& section,
                        const std::wstring& key) const;
  // Stores |value| as it is, creating the section and the key as needed.
  void SetValue(const std::wstring& section, const std::wstring& key,
                const std::wstring& value);

  // Reads the UTF-8 file at |path| into the document: replaces the contents
  // when |merge| is false, adds to them otherwise. Malformed UTF-8 bytes
  // become U+FFFD. Returns false, with the document unchanged, when the file
  // cannot be opened or read.
  bool Load(const std::string& path, bool merge);
  // Parses the UTF-8 |text| into the document, as Load does with a file's
  // bytes.
  void ReadText(std::string_view text, bool merge);
  // Parses the text of |in| into the document, as Load does. A stream
  // failure ends the text; the line being read is dropped.
  void Read(std::wistream& in, bool merge);

  // Replaces the file at |path| with the document's text in UTF-8. The text
  // goes to a new file beside it first, so on failure (false) the old file is
  // left whole.
  bool Save(const std::string& path) const;
  // Writes the document's text: each section's "[name]" line followed by its
  // "name=value" lines, every line ended by a line feed.
  void Write(std::wostream& out) const;

 private:
  // Applies one line of text; |*current| is the section that key lines go
  // to.
  void ReadLine(std::wstring_view line, IniSection** current);

  friend class IniSection;

  // The map nodes of the sections and keys. A document only ever grows until
  // it is cleared or destroyed, so the nodes are carved from large blocks and
  // freed together: a file of many keys loads and goes much faster than with
  // one heap allocation and one free per node.
  std::pmr::monotonic_buffer_resource nodes_;
  SectionMap sections_;
};

#endif  // INI_INI_DOCUMENT_H_
