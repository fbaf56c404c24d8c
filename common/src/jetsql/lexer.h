// Jet SQL tokens. The lexer also builds the statement's shape: its tokens with every literal
// replaced by a marker of the literal's kind, so statements that differ only in literals share
// one translation and one prepared statement.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvor::jetsql {

enum class Tok : uint8_t {
    End,
    Ident,    // name or keyword; `bracketed` tells [a name] from a bare word
    Integer,  // literal that fits a 32-bit integer
    Float,    // any other number literal
    String,   // "text" or 'text'
    DateLit,  // #m/d/y#
    Op,       // operator or punctuation
};

struct Token {
    Tok kind = Tok::End;
    bool bracketed = false;
    uint32_t pos = 0;  // offset in the statement, for error messages
    std::string text;  // identifier (as written), operator, or literal value (unescaped)
    int literal = -1;  // index into Lexed::literals for literal tokens
    bool is(std::string_view word) const;  // case-insensitive keyword or operator test
};

struct Literal {
    Tok kind;
    std::string text;  // unescaped text of a string, digits of a number, inside of #...#
};

struct Lexed {
    std::vector<Token> tokens;  // ends with Tok::End
    std::vector<Literal> literals;
    std::string shape;  // cache key: lower-cased tokens, literals as kind markers
};

// Throws JetError (syntax error naming the offending character) on text that is not a token.
Lexed Lex(std::string_view sql);

// Only the shape and the literals, without keeping tokens: the fast path of a cache hit.
void LexShape(std::string_view sql, std::string& shape, std::vector<Literal>& literals);

}  // namespace kelvor::jetsql
