// A program's help, written once: `--help` prints it as text and the hidden `--manual-page`
// prints it as the program's manual page (troff), which the build installs. The two never
// disagree because they are the same text.
#pragma once

#include <string>
#include <vector>

namespace kelvor::manual {

// A term and what it means: a command, an option, an environment variable. A term of several
// lines (several ways of calling one command) keeps its lines.
struct Item {
    std::string term;
    std::string text;
};

// Paragraphs, then a list of items. Paragraphs and item texts are flowing text, wrapped by the
// printer.
struct Section {
    std::string title;  // "DESCRIPTION", "ENVIRONMENT", ... as manual pages name them
    std::vector<std::string> paragraphs;
    std::vector<Item> items;
};

struct Page {
    std::string program;
    std::string summary;                // NAME: "program - summary"
    std::vector<std::string> synopsis;  // one way of calling the program per line
    std::vector<Section> sections;
};

// What --help prints: the synopsis as "usage:" lines, then the sections, wrapped to 80 columns.
std::string Text(const Page& page);
// The manual page, section 1, in the man macros.
std::string Troff(const Page& page);
// `text` wrapped at blanks to lines of at most `width` characters, each indented by `indent`.
std::string Wrap(const std::string& text, size_t indent, size_t width = 80);

// The options every program takes as its only argument: --help (or -h) prints Text(page),
// --version "program VERSION", --manual-page Troff(page), on standard output; the result is
// then 0. For any other arguments it prints nothing and returns -1.
int StandardOption(int argc, char** argv, const Page& page);

}  // namespace kelvor::manual
