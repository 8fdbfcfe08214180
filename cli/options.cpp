// The subcommands' option parser (options.hpp).
#include "options.hpp"

#include <cstdio>

#include "command.hpp"

namespace netrove::cli {

namespace {

const OptionSpec kHelp{'h', "help", nullptr, "show this help and exit"};

const OptionSpec* find_long(const CommandSpec& spec, const std::string& name) {
  if (name == kHelp.long_name) return &kHelp;
  for (const OptionSpec& o : spec.options)
    if (name == o.long_name) return &o;
  return nullptr;
}

const OptionSpec* find_short(const CommandSpec& spec, char c) {
  if (c == kHelp.short_name) return &kHelp;
  for (const OptionSpec& o : spec.options)
    if (o.short_name != '\0' && o.short_name == c) return &o;
  return nullptr;
}

[[noreturn]] void usage_error(const CommandSpec& spec, const std::string& what) {
  throw CommandError(std::string(spec.name) + ": " + what, true);
}

}  // namespace

std::string ParsedArgs::last(const std::string& name, const std::string& fallback) const {
  const auto it = values.find(name);
  return it == values.end() || it->second.empty() ? fallback : it->second.back();
}

bool parse_args(const CommandSpec& spec, const std::vector<std::string>& args, ParsedArgs& out) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      out.operands.insert(out.operands.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    }
    if (a.size() < 2 || a[0] != '-') {
      out.operands.push_back(a);
      continue;
    }
    if (a[1] == '-') {  // --name or --name=value
      const auto eq = a.find('=');
      const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      const OptionSpec* o = find_long(spec, name);
      if (!o) usage_error(spec, "unknown option '--" + name + "'");
      if (!o->value) {
        if (eq != std::string::npos) usage_error(spec, "option '--" + name + "' takes no value");
        out.values[o->long_name].emplace_back();
      } else if (eq != std::string::npos) {
        out.values[o->long_name].push_back(a.substr(eq + 1));
      } else {
        if (i + 1 == args.size()) usage_error(spec, "option '--" + name + "' needs a value (" + o->value + ")");
        out.values[o->long_name].push_back(args[++i]);
      }
      continue;
    }
    for (std::size_t j = 1; j < a.size(); ++j) {  // -x, -xy, -xVALUE, -x VALUE
      const OptionSpec* o = find_short(spec, a[j]);
      if (!o) usage_error(spec, std::string("unknown option '-") + a[j] + "'");
      if (!o->value) {
        out.values[o->long_name].emplace_back();
        continue;
      }
      if (j + 1 < a.size()) {
        out.values[o->long_name].push_back(a.substr(j + 1));
      } else {
        if (i + 1 == args.size())
          usage_error(spec, std::string("option '-") + a[j] + "' needs a value (" + o->value + ")");
        out.values[o->long_name].push_back(args[++i]);
      }
      break;
    }
  }
  if (out.has(kHelp.long_name)) {
    const std::string text = help_text(spec);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return false;
  }
  return true;
}

std::string help_text(const CommandSpec& spec) {
  std::string out = "usage: netrove " + std::string(spec.name) + " " + spec.synopsis + "\n\n" + spec.description +
                    "\n\noptions:\n";
  std::vector<const OptionSpec*> all;
  for (const OptionSpec& o : spec.options) all.push_back(&o);
  all.push_back(&kHelp);
  for (const OptionSpec* o : all) {
    std::string left = "  ";
    left += o->short_name ? std::string("-") + o->short_name + ", " : "    ";
    left += "--" + std::string(o->long_name);
    if (o->value) left += " " + std::string(o->value);
    if (left.size() < 28) left.resize(28, ' ');
    else left += "\n" + std::string(28, ' ');
    out += left + o->help + "\n";
  }
  return out;
}

}  // namespace netrove::cli
