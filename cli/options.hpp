// options.hpp - the command line of one subcommand: its options as declared,
// then its operands.
//
//   -o FILE  -oFILE  --output FILE  --output=FILE    an option with a value
//   -v -c  or  -vc                                   flags, short ones bundled
//   --                                               ends the options
//   -                                                an operand (stdin)
//
// Options and operands may come in any order, as GNU tools take them.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace netrove::cli {

/// One option a subcommand takes.
struct OptionSpec {
  char short_name;        // '\0' for none
  const char* long_name;  // without the dashes
  const char* value;      // the value's name in help ("FILE"), null for a flag
  const char* help;
};

/// What a command line said.
struct ParsedArgs {
  std::map<std::string, std::vector<std::string>> values;  // by long name; a flag has one "" per use
  std::vector<std::string> operands;

  bool has(const std::string& name) const { return values.count(name) != 0; }
  /// The last value given for `name`, or `fallback`.
  std::string last(const std::string& name, const std::string& fallback = "") const;
};

/// A subcommand's synopsis, summary and options, for parsing and --help.
struct CommandSpec {
  const char* name;
  const char* synopsis;     // after "netrove <name> "
  const char* description;  // a paragraph or two, lines of at most 78 characters
  std::vector<OptionSpec> options;
};

/// Parses `args` against `spec`.  Returns false when --help was asked for
/// (the help is then printed on stdout).  Throws CommandError (usage) for an
/// unknown option, a missing value or a value given to a flag.
bool parse_args(const CommandSpec& spec, const std::vector<std::string>& args, ParsedArgs& out);

/// The help text of `spec`.
std::string help_text(const CommandSpec& spec);

}  // namespace netrove::cli
