// netrove: the command line.  `netrove SUBCOMMAND [ARGS]`; each subcommand
// parses its own arguments (options.hpp) and returns its exit status.
//
// Errors: a usage error, a malformed source, an unreadable file or an
// unreachable Redis server ends the command with status 2 and one message
// on stderr whose last line starts "netrove: ".
//
// The process ends with _exit once the output is flushed: a table of a
// million prefixes takes longer to tear down than to answer a few thousand
// lookups, and the kernel takes the memory back at once.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.hpp"
#include "netrove/factory.hpp"
#include "netrove/load.hpp"

namespace netrove::cli {

namespace {

struct Subcommand {
  const char* name;
  Run run;
  const char* summary;
};

constexpr Subcommand kSubcommands[] = {
    {"build", run_build, "load sources (MaxMind DB, MRT, pfx2as, ipasn, csv, lists) into a table file"},
    {"lookup", run_lookup, "the longest stored prefix and its record for each address"},
    {"grep", run_grep, "the lines of a log that hold an address the table covers"},
    {"info", run_info, "what a table holds: prefixes per family, records, format"},
    {"export", run_export, "every prefix with its record as csv, JSON lines or a list"},
};

void print_help() {
  std::printf(
      "usage: netrove SUBCOMMAND [OPTIONS] [ARGS]\n\n"
      "Longest-prefix matching of IPv4 and IPv6 addresses from the shell.\n\n"
      "subcommands:\n");
  for (const Subcommand& s : kSubcommands) std::printf("  %-8s %s\n", s.name, s.summary);
  std::printf(
      "\nA TABLE is a table file (netrove build, or RadixEngine.save in Python), any\n"
      "source the loaders read (loaded on the fly), or a redis:// URL.\n"
      "`netrove SUBCOMMAND --help` describes each.  Exit status: 0 success, 1 nothing\n"
      "matched (grep; lookup --strict), 2 a usage or input error.\n");
}

int fail(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "netrove: %s\n", message.c_str());
  return kExitError;
}

int run(int argc, char** argv) {
  if (argc < 2) {
    print_help();
    return kExitError;
  }
  const std::string name = argv[1];
  if (name == "-h" || name == "--help" || name == "help") {
    print_help();
    return kExitOk;
  }
  if (name == "--version" || name == "-V") {
    std::printf("netrove %s\n", NETROVE_VERSION);
    return kExitOk;
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  for (const Subcommand& s : kSubcommands) {
    if (name != s.name) continue;
    try {
      return s.run(args);
    } catch (const CommandError& e) {
      if (e.usage()) std::fprintf(stderr, "(see: netrove %s --help)\n", s.name);
      return fail(e.what());
    } catch (const LoadError& e) {
      return fail(e.what());
    } catch (const StartupError& e) {
      return fail(e.store_message());
    } catch (const std::bad_alloc&) {
      return fail("out of memory");
    } catch (const std::exception& e) {
      return fail(e.what());
    }
  }
  std::fprintf(stderr, "(see: netrove --help)\n");
  return fail("unknown subcommand '" + name + "'");
}

}  // namespace

}  // namespace netrove::cli

int main(int argc, char** argv) {
  const int status = netrove::cli::run(argc, argv);
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}
