#include "platform/command_line_quote.h"

#include <cstddef>

namespace brindle {
namespace {

bool is_separator(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::string quote_windows_argument(std::string_view arg) {
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes only escape when a quote follows them: double those, keep the others.
    if (c == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');  // they stand before the closing quote
  quoted += '"';
  return quoted;
}

std::string windows_command_line_argument(std::string_view arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string_view::npos) {
    return std::string(arg);
  }
  return quote_windows_argument(arg);
}

std::vector<std::string> split_windows_command_line(std::string_view line) {
  std::vector<std::string> arguments;
  size_t i = 0;
  for (;;) {
    while (i < line.size() && is_separator(line[i])) ++i;
    if (i == line.size()) return arguments;

    std::string argument;
    bool in_quotes = false;
    while (i < line.size() && (in_quotes || !is_separator(line[i]))) {
      const char c = line[i];
      if (c == '\\') {
        size_t backslashes = 0;
        while (i < line.size() && line[i] == '\\') {
          ++backslashes;
          ++i;
        }
        if (i < line.size() && line[i] == '"') {
          argument.append(backslashes / 2, '\\');
          if (backslashes % 2 == 1) {
            argument += '"';
            ++i;
          }
        } else {
          argument.append(backslashes, '\\');
        }
      } else if (c == '"') {
        if (in_quotes && i + 1 < line.size() && line[i + 1] == '"') {
          argument += '"';  // "" inside quotes is a literal quote
          i += 2;
        } else {
          in_quotes = !in_quotes;
          ++i;
        }
      } else {
        argument += c;
        ++i;
      }
    }
    arguments.push_back(std::move(argument));
  }
}

std::string quote_desktop_exec_argument(std::string_view arg) {
  // Exec quoting: these four need a backslash inside double quotes.
  std::string exec = "\"";
  for (const char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') exec += '\\';
    exec += c;
  }
  exec += '"';

  // The file's string escapes are undone before the Exec quoting is read, so they go on top;
  // `%` starts a field code anywhere in the value.
  std::string value;
  for (const char c : exec) {
    switch (c) {
      case '\\':
        value += "\\\\";
        break;
      case '\n':
        value += "\\n";
        break;
      case '\t':
        value += "\\t";
        break;
      case '\r':
        value += "\\r";
        break;
      case '%':
        value += "%%";
        break;
      default:
        value += c;
    }
  }
  return value;
}

}  // namespace brindle
