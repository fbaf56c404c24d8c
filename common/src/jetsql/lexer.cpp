#include "jetsql/lexer.h"

#include <cctype>
#include <cstring>

#include "kelvor/jet_error.h"

namespace kelvor::jetsql {

namespace {

bool isIdentStart(unsigned char c) {
    return std::isalpha(c) || c == '_' || c >= 0x80;
}
bool isIdentChar(unsigned char c) {
    return std::isalnum(c) || c == '_' || c >= 0x80;
}

[[noreturn]] void badChar(std::string_view sql, size_t pos, const char* what) {
    std::string near(sql.substr(pos, 20));
    throw JetError(err::kSyntaxError, std::string("Syntax error: ") + what + " at '" + near + "'.");
}

// One scanner serves both entry points; `tokens` may be null when only the shape is wanted.
void scan(std::string_view sql, std::vector<Token>* tokens, std::vector<Literal>& literals,
          std::string& shape) {
    shape.clear();
    literals.clear();
    shape.reserve(sql.size());
    size_t i = 0;
    const size_t n = sql.size();
    auto addShape = [&](std::string_view piece) {
        if (!shape.empty()) shape.push_back(' ');
        shape.append(piece);
    };
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(sql[i]);
        if (std::isspace(c)) {
            ++i;
            continue;
        }
        Token t;
        t.pos = static_cast<uint32_t>(i);
        if (isIdentStart(c)) {
            size_t s = i;
            while (i < n && isIdentChar(static_cast<unsigned char>(sql[i]))) ++i;
            t.kind = Tok::Ident;
            t.text.assign(sql.substr(s, i - s));
            if (!shape.empty()) shape.push_back(' ');
            for (char ch : t.text) shape.push_back(static_cast<char>(std::tolower(ch)));
        } else if (c == '[') {
            size_t close = sql.find(']', i + 1);
            if (close == std::string_view::npos) badChar(sql, i, "unclosed '['");
            t.kind = Tok::Ident;
            t.bracketed = true;
            t.text.assign(sql.substr(i + 1, close - i - 1));
            i = close + 1;
            if (!shape.empty()) shape.push_back(' ');
            shape.push_back('[');
            for (char ch : t.text) shape.push_back(static_cast<char>(std::tolower(ch)));
            shape.push_back(']');
        } else if (std::isdigit(c) || (c == '.' && i + 1 < n &&
                                       std::isdigit(static_cast<unsigned char>(sql[i + 1])))) {
            size_t s = i;
            bool isFloat = false;
            while (i < n && std::isdigit(static_cast<unsigned char>(sql[i]))) ++i;
            if (i < n && sql[i] == '.') {
                isFloat = true;
                ++i;
                while (i < n && std::isdigit(static_cast<unsigned char>(sql[i]))) ++i;
            }
            if (i < n && (sql[i] == 'e' || sql[i] == 'E')) {
                size_t e = i + 1;
                if (e < n && (sql[e] == '+' || sql[e] == '-')) ++e;
                if (e < n && std::isdigit(static_cast<unsigned char>(sql[e]))) {
                    isFloat = true;
                    i = e;
                    while (i < n && std::isdigit(static_cast<unsigned char>(sql[i]))) ++i;
                }
            }
            if (i < n && isIdentStart(static_cast<unsigned char>(sql[i])))
                badChar(sql, s, "malformed number");
            std::string digits(sql.substr(s, i - s));
            if (!isFloat) {
                // Literals beyond the 32-bit range are floating point, as in the engine.
                size_t firstNonZero = digits.find_first_not_of('0');
                std::string_view sig = firstNonZero == std::string::npos
                                           ? std::string_view("0")
                                           : std::string_view(digits).substr(firstNonZero);
                if (sig.size() > 10 || (sig.size() == 10 && sig > "2147483647")) isFloat = true;
            }
            t.kind = isFloat ? Tok::Float : Tok::Integer;
            t.text = std::move(digits);
            addShape(isFloat ? "\x01"
                               "f"
                             : "\x01"
                               "i");
        } else if (c == '"' || c == '\'') {
            char q = static_cast<char>(c);
            size_t s = i;
            ++i;
            std::string val;
            for (;;) {
                if (i >= n) badChar(sql, s, "unclosed text literal");
                if (sql[i] == q) {
                    if (i + 1 < n && sql[i + 1] == q) {
                        val.push_back(q);
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                val.push_back(sql[i++]);
            }
            t.kind = Tok::String;
            t.text = std::move(val);
            addShape("\x01s");
        } else if (c == '#') {
            size_t close = sql.find('#', i + 1);
            if (close == std::string_view::npos) badChar(sql, i, "unclosed date literal");
            t.kind = Tok::DateLit;
            t.text.assign(sql.substr(i + 1, close - i - 1));
            i = close + 1;
            addShape(
                "\x01"
                "d");
        } else {
            static const char* const kTwo[] = {"<=", ">=", "<>", "!=", nullptr};
            t.kind = Tok::Op;
            bool two = false;
            if (i + 1 < n) {
                for (const char* const* p = kTwo; *p; ++p) {
                    if (sql[i] == (*p)[0] && sql[i + 1] == (*p)[1]) {
                        t.text.assign(*p);
                        two = true;
                        break;
                    }
                }
            }
            if (two) {
                i += 2;
                if (t.text == "!=") t.text = "<>";
            } else {
                if (!std::strchr("=<>+-*/\\^&(),;.!?", c)) badChar(sql, i, "unexpected character");
                t.text.assign(1, static_cast<char>(c));
                ++i;
            }
            addShape(t.text);
        }
        if (t.kind == Tok::Integer || t.kind == Tok::Float || t.kind == Tok::String ||
            t.kind == Tok::DateLit) {
            t.literal = static_cast<int>(literals.size());
            literals.push_back(Literal{t.kind, tokens ? t.text : std::move(t.text)});
        }
        if (tokens) tokens->push_back(std::move(t));
    }
    if (tokens) {
        Token end;
        end.pos = static_cast<uint32_t>(n);
        tokens->push_back(end);
    }
}

}  // namespace

bool Token::is(std::string_view word) const {
    if (kind != Tok::Ident && kind != Tok::Op) return false;
    if (bracketed) return false;
    if (text.size() != word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(word[i])))
            return false;
    }
    return true;
}

Lexed Lex(std::string_view sql) {
    Lexed out;
    out.tokens.reserve(sql.size() / 4 + 4);
    scan(sql, &out.tokens, out.literals, out.shape);
    return out;
}

void LexShape(std::string_view sql, std::string& shape, std::vector<Literal>& literals) {
    scan(sql, nullptr, literals, shape);
}

}  // namespace kelvor::jetsql
