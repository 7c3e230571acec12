// The layout of zget's --help: option descriptions wrapped beside their names, and the text
// after the options, all within 80 columns (the width of the terminals that show it by
// default). Pure functions and a CLI11 formatter; thread-safe.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace CLI {
class FormatterBase;
}

namespace zget {

// Widest line of the help, in columns.
inline constexpr size_t kHelpColumns = 80;

// text split at blanks into lines of at most width bytes, joined by '\n'. A word longer than
// width stands on a line of its own; line breaks in text stay.
std::string wrapWords(const std::string& text, size_t width);

// A formatter for CLI::App::formatter that wraps each option's description at kHelpColumns.
std::shared_ptr<CLI::FormatterBase> makeHelpFormatter();

// The text after the options: how downloads are kept, lists, units, exit statuses, examples,
// with this platform's cache location and paths.
std::string helpFooter();

}  // namespace zget
