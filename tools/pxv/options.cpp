// Shared option parsing: see options.h.
#include "options.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace pxv_cli {

namespace {

constexpr int kGoOn = -1;

// The option an argument names, with the value glued to it when there is one.
const Option *find_option(const std::string &arg, std::initializer_list<Option> options,
                          std::string *glued, bool *has_glued) {
  for (const Option &o : options) {
    std::string name = o.name;
    if (arg == name || (o.short_name != nullptr && arg == o.short_name)) return &o;
    if (o.value_needed != nullptr && arg.rfind(name + "=", 0) == 0) {
      *glued = arg.substr(name.size() + 1);
      *has_glued = true;
      return &o;
    }
    std::string brief = o.short_name != nullptr ? o.short_name : "";
    if (o.value_needed != nullptr && !brief.empty() && arg.size() > brief.size() &&
        arg.rfind(brief, 0) == 0) {
      *glued = arg.substr(brief.size());
      *has_glued = true;
      return &o;
    }
  }
  return nullptr;
}

}  // namespace

int parse_command_line(const Args &args, std::initializer_list<Option> options, const char *help,
                       CommandLine *line) {
  bool options_end = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (options_end || a.empty() || a[0] != '-' || a == "-") {
      line->operands.push_back(a);
    } else if (a == "--") {
      options_end = true;
    } else if (a == "--help" || a == "-h") {
      std::fputs(help, stdout);
      return 0;
    } else if (a == "--quiet" || a == "-q") {
      line->quiet = true;
    } else {
      std::string value;
      bool has_value = false;
      const Option *o = find_option(a, options, &value, &has_value);
      if (o == nullptr) return usage_error("unknown option " + a);
      if (o->value_needed != nullptr && !has_value) {
        has_value = i + 1 < args.size();
        if (has_value) value = args[++i];
      }
      if (o->value_needed != nullptr && (!has_value || !o->take(value)))
        return usage_error(std::string(o->name) + " needs " + o->value_needed);
      if (o->value_needed == nullptr) o->take("");
    }
  }
  return kGoOn;
}

bool parse_size(const std::string &text, std::uint64_t *bytes) {
  std::size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0 || digits > 12) return false;  // up to 999 GiB of bytes, and no overflow
  std::string unit = text.substr(digits);
  for (char &c : unit) c = char(std::tolower(static_cast<unsigned char>(c)));
  int shift = -1;
  if (unit.empty()) shift = 0;
  else if (unit == "k" || unit == "kib") shift = 10;
  else if (unit == "m" || unit == "mib") shift = 20;
  else if (unit == "g" || unit == "gib") shift = 30;
  const std::uint64_t number = std::strtoull(text.c_str(), nullptr, 10);
  if (shift < 0 || number == 0 || number > (std::uint64_t{1} << 40) >> shift) return false;
  *bytes = number << shift;
  return true;
}

bool parse_int(const std::string &text, int min, int *value) {
  char *end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < min || v > INT_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

}  // namespace pxv_cli
