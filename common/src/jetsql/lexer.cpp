#include "jetsql/lexer.h"

#include <cctype>
#include <cstring>

#include "kelvor/jet_error.h"

namespace kelvor::jetsql {

namespace {

// ASCII classes by table: the lexer runs on every statement, also on a cache hit, and the
// locale-aware <cctype> calls cost more than the rest of the lookup.
struct CharClass {
    bool identStart[256] = {};
    bool identChar[256] = {};
    bool digit[256] = {};
    bool space[256] = {};
    char lower[256] = {};
    constexpr CharClass() {
        for (int c = 0; c < 256; ++c) {
            bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            digit[c] = c >= '0' && c <= '9';
            identStart[c] = alpha || c == '_' || c >= 0x80;
            identChar[c] = identStart[c] || digit[c];
            space[c] = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
            lower[c] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        }
    }
};
constexpr CharClass kClass;

inline unsigned char at(std::string_view s, size_t i) {
    return static_cast<unsigned char>(s[i]);
}

[[noreturn]] void badChar(std::string_view sql, size_t pos, const char* what) {
    std::string near(sql.substr(pos, 20));
    throw JetError(err::kSyntaxError, std::string("Syntax error: ") + what + " at '" + near + "'.");
}

// One scanner serves both entry points; `tokens` is null when only the shape is wanted, and
// then no token is built.
void scan(std::string_view sql, std::vector<Token>* tokens, std::vector<Literal>& literals,
          std::string& shape) {
    shape.clear();
    literals.clear();
    shape.reserve(sql.size());
    size_t i = 0;
    const size_t n = sql.size();
    auto sep = [&] {
        if (!shape.empty()) shape.push_back(' ');
    };
    auto appendLower = [&](size_t from, size_t to) {
        for (size_t k = from; k < to; ++k) shape.push_back(kClass.lower[at(sql, k)]);
    };
    auto addToken = [&](Tok kind, size_t pos, std::string text, bool bracketed) {
        if (!tokens) return;
        Token t;
        t.kind = kind;
        t.pos = static_cast<uint32_t>(pos);
        t.text = std::move(text);
        t.bracketed = bracketed;
        tokens->push_back(std::move(t));
    };
    auto addLiteral = [&](Tok kind, size_t pos, std::string text) {
        if (tokens) {
            Token t;
            t.kind = kind;
            t.pos = static_cast<uint32_t>(pos);
            t.text = text;
            t.literal = static_cast<int>(literals.size());
            tokens->push_back(std::move(t));
        }
        literals.push_back(Literal{kind, std::move(text)});
    };
    while (i < n) {
        unsigned char c = at(sql, i);
        if (kClass.space[c]) {
            ++i;
            continue;
        }
        size_t start = i;
        if (kClass.identStart[c]) {
            while (i < n && kClass.identChar[at(sql, i)]) ++i;
            sep();
            appendLower(start, i);
            addToken(Tok::Ident, start,
                     tokens ? std::string(sql.substr(start, i - start)) : std::string(), false);
        } else if (c == '[') {
            size_t close = sql.find(']', i + 1);
            if (close == std::string_view::npos) badChar(sql, i, "unclosed '['");
            sep();
            shape.push_back('[');
            appendLower(i + 1, close);
            shape.push_back(']');
            addToken(Tok::Ident, start,
                     tokens ? std::string(sql.substr(i + 1, close - i - 1)) : std::string(), true);
            i = close + 1;
        } else if (kClass.digit[c] || (c == '.' && i + 1 < n && kClass.digit[at(sql, i + 1)])) {
            bool isFloat = false;
            while (i < n && kClass.digit[at(sql, i)]) ++i;
            if (i < n && sql[i] == '.') {
                isFloat = true;
                ++i;
                while (i < n && kClass.digit[at(sql, i)]) ++i;
            }
            if (i < n && (sql[i] == 'e' || sql[i] == 'E')) {
                size_t e = i + 1;
                if (e < n && (sql[e] == '+' || sql[e] == '-')) ++e;
                if (e < n && kClass.digit[at(sql, e)]) {
                    isFloat = true;
                    i = e;
                    while (i < n && kClass.digit[at(sql, i)]) ++i;
                }
            }
            if (i < n && kClass.identStart[at(sql, i)]) badChar(sql, start, "malformed number");
            std::string_view digits = sql.substr(start, i - start);
            if (!isFloat) {
                // Literals beyond the 32-bit range are floating point, as in the engine.
                size_t nz = digits.find_first_not_of('0');
                std::string_view sig =
                    nz == std::string_view::npos ? std::string_view("0") : digits.substr(nz);
                if (sig.size() > 10 || (sig.size() == 10 && sig > "2147483647")) isFloat = true;
            }
            sep();
            shape.append(isFloat ? "\x01"
                                   "f"
                                 : "\x01"
                                   "i");
            addLiteral(isFloat ? Tok::Float : Tok::Integer, start, std::string(digits));
        } else if (c == '"' || c == '\'') {
            char q = static_cast<char>(c);
            ++i;
            std::string val;
            for (;;) {
                size_t next = sql.find(q, i);
                if (next == std::string_view::npos)
                    throw JetError(err::kSyntaxInExpression,
                                   "Syntax error in string in query expression '" +
                                       std::string(sql.substr(start)) + "'.");
                val.append(sql.substr(i, next - i));
                if (next + 1 < n && sql[next + 1] == q) {
                    val.push_back(q);
                    i = next + 2;
                    continue;
                }
                i = next + 1;
                break;
            }
            sep();
            shape.append("\x01s");
            addLiteral(Tok::String, start, std::move(val));
        } else if (c == '#') {
            size_t close = sql.find('#', i + 1);
            if (close == std::string_view::npos) badChar(sql, i, "unclosed date literal");
            i = close + 1;
            sep();
            shape.append(
                "\x01"
                "d");
            addLiteral(Tok::DateLit, start, std::string(sql.substr(start + 1, close - start - 1)));
        } else {
            std::string op;
            char d = i + 1 < n ? sql[i + 1] : '\0';
            if ((c == '<' && (d == '=' || d == '>')) || (c == '>' && d == '=')) {
                op.assign(sql.substr(i, 2));
                i += 2;
            } else if (c == '!' && d == '=') {
                op = "<>";
                i += 2;
            } else {
                if (!std::strchr("=<>+-*/\\^&(),;.!?", c) || c == '\0')
                    badChar(sql, i, "unexpected character");
                op.assign(1, static_cast<char>(c));
                ++i;
            }
            sep();
            shape.append(op);
            addToken(Tok::Op, start, std::move(op), false);
        }
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

namespace {
// The engine takes statements of up to about 64,000 characters; a longer one is refused before
// any work grows with it.
constexpr size_t kMaxStatement = 64000;
void checkLength(std::string_view sql) {
    if (sql.size() > kMaxStatement) throw JetError::make(err::kQueryTooComplex);
}
}  // namespace

Lexed Lex(std::string_view sql) {
    checkLength(sql);
    Lexed out;
    out.tokens.reserve(sql.size() / 4 + 4);
    scan(sql, &out.tokens, out.literals, out.shape);
    return out;
}

void LexShape(std::string_view sql, std::string& shape, std::vector<Literal>& literals) {
    checkLength(sql);
    scan(sql, nullptr, literals, shape);
}

}  // namespace kelvor::jetsql
