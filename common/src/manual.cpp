#include "kelvor/manual.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace kelvor::manual {

namespace {

std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// Text as troff reads it literally: backslashes escaped, minus signs as minus signs (so that
// options copied from the page work), and no line taken for a request.
std::string troffText(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out.push_back(c);
        }
        if (c == '\n') out += "\\&";
    }
    return "\\&" + out;
}

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

}  // namespace

std::string Wrap(const std::string& text, size_t indent, size_t width) {
    std::string out, line;
    std::istringstream words(text);
    for (std::string w; words >> w;) {
        if (!line.empty() && indent + line.size() + 1 + w.size() > width) {
            out += std::string(indent, ' ') + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + w;
    }
    if (!line.empty()) out += std::string(indent, ' ') + line + "\n";
    return out;
}

std::string Text(const Page& page) {
    std::string out;
    for (size_t i = 0; i < page.synopsis.size(); ++i)
        out += (i == 0 ? "usage: " : "       ") + page.synopsis[i] + "\n";
    for (const Section& s : page.sections) {
        out += "\n" + s.title + "\n";
        for (size_t i = 0; i < s.paragraphs.size(); ++i)
            out += (i ? "\n" : "") + Wrap(s.paragraphs[i], 2);
        for (size_t i = 0; i < s.items.size(); ++i) {
            const Item& item = s.items[i];
            if (i || !s.paragraphs.empty()) out += "\n";
            for (const std::string& l : lines(item.term)) out += "  " + l + "\n";
            out += Wrap(item.text, 6);
        }
    }
    return out;
}

std::string Troff(const Page& page) {
    std::string out = ".TH " + upper(page.program) +
                      " 1 \"\" \"Kelvor " KELVOR_VERSION "\" \"Kelvor manual\"\n.nh\n.SH NAME\n" +
                      troffText(page.program) + " \\- " + troffText(page.summary) +
                      "\n.SH SYNOPSIS\n.nf\n";
    for (const std::string& l : page.synopsis) out += troffText(l) + "\n";
    out += ".fi\n";
    for (const Section& s : page.sections) {
        out += ".SH " + upper(s.title) + "\n";
        for (size_t i = 0; i < s.paragraphs.size(); ++i)
            out += (i ? ".PP\n" : "") + troffText(s.paragraphs[i]) + "\n";
        for (const Item& item : s.items) {
            out += ".PP\n.nf\n";
            for (const std::string& l : lines(item.term)) out += "\\fB" + troffText(l) + "\\fR\n";
            out += ".fi\n.RS 4\n" + troffText(item.text) + "\n.RE\n";
        }
    }
    return out;
}

int StandardOption(int argc, char** argv, const Page& page) {
    if (argc != 2) return -1;
    std::string text;
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        text = Text(page);
    } else if (!std::strcmp(argv[1], "--version")) {
        text = page.program + " " KELVOR_VERSION "\n";
    } else if (!std::strcmp(argv[1], "--manual-page")) {
        text = Troff(page);
    } else {
        return -1;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace kelvor::manual
