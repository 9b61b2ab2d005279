#pragma once
// Every setting the collector reads, section by section, with the form its
// value must take. A key the collector does not read, or a flag, number or
// word it cannot read, silently means a default; Check() finds each of them
// so that the start and `kyrhost --check` can name them.
//
// The table is data only: the settings readers themselves (and their range
// checks and messages) stay where they are.

#include <string>
#include <vector>

class zrConfig;

class lfmKnownSettings {
 public:
  enum Form {
    kText,    // any text (a reader that checks it reports it itself)
    kFlag,    // true, false, 1 or 0, any letter case
    kNumber,  // an optional sign and decimal digits
    kChoice,  // one of `words`, any letter case
  };
  struct Key {
    const char* section;  // kElementSection stands for logelementmap0, 1, ...
    const char* key;
    Form form;
    // kFlag: the default, which an unreadable value gives; kChoice: the
    // accepted words separated by "|", then ">" and what any other word
    // gives. Unused otherwise.
    const char* detail;
  };
  // The sections of the log element map: this text followed by an index.
  static constexpr const char* kElementSection = "logelementmap";

  // The whole table, in the order of the installer's configuration file.
  static const std::vector<Key>& Keys();
  // The entry for `key` in `section` (letter case ignored; logelementmapN
  // for any decimal N); null when the collector does not read it.
  static const Key* Find(const std::string& section, const std::string& key);
  // Whether the collector reads section `section` at all.
  static bool IsKnownSection(const std::string& section);

  struct Finding {
    enum Kind { kUnknownSection, kUnknownKey, kUnreadableValue, kRepeatedKey };
    Kind kind;
    std::string section;
    std::string key;      // empty for kUnknownSection
    std::string value;    // kUnreadableValue: the value as written
    std::string wanted;   // kUnreadableValue: what the value should be, as a phrase
    std::string inForce;  // kUnreadableValue, kRepeatedKey: what the collector uses instead
  };
  // What `config` holds that the collector cannot use: each section it does
  // not read (once, not its keys), each key it does not read in a section
  // it reads, and each value of the wrong form, section by section as
  // zrConfig::AllSettings gives them; then each repeat of a key the
  // collector reads, which the first occurrence hides.
  static std::vector<Finding> Check(const zrConfig& config);
};
