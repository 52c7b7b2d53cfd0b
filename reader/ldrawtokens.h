#pragma once

#include <string_view>

// Splits the text of one LDraw file into white-space separated tokens, keeping
// the 1-based line of each. Line feeds end lines; a carriage return is white
// space like space, tab, vertical tab and form feed. Only in a text with no
// line feed at all (old Mac files) do carriage returns end lines.
class LDrawTokenizer
{
public:
    // `text` must outlive the tokenizer. A UTF-8 byte-order mark at its start
    // is skipped. `startLine` is the line number of the text's first line, for
    // text cut from a larger file.
    explicit LDrawTokenizer(std::string_view text, unsigned startLine = 1);

    // Skips white space and yields the next token; false at the end of the
    // text. Line() then gives the token's line, or the line of the end.
    bool NextToken(std::string_view& token);

    // Drops everything up to and including the next line end (a comment or
    // meta-command line).
    void SkipRestOfLine();

    // The rest of the current line, up to its line end, which is consumed as
    // SkipRestOfLine does.
    std::string_view TakeRestOfLine();

    // Line of the last token yielded, or of the end of the text once it has
    // been met. A final line feed ends the last line rather than opening one.
    unsigned Line() const;

private:
    const char* begin;
    const char* cursor;
    const char* end;
    char lineEnd = '\n';
    unsigned firstLine;
    unsigned line;
    bool isAtEnd = false;
};

// A whole decimal integer token, optionally signed, within int range.
bool ParseLDrawInt(std::string_view token, int& value);

// A colour: a whole decimal integer token as ParseLDrawInt reads it, or a
// direct colour written 0x2RRGGBB or 0x3RRGGBB (0x or 0X, then 2 or 3, then
// exactly six hex digits), read as that integer.
bool ParseLDrawColor(std::string_view token, int& value);

// A whole decimal real token: optional sign, digits with an optional point
// (at least one digit), optional exponent. No hex, inf or nan. A value beyond
// the double range fails; one too small for it reads as its correctly rounded
// value (a subnormal, or zero of the token's sign), as stream extraction does.
bool ParseLDrawReal(std::string_view token, double& value);

// The value of a hexadecimal digit of either case, or -1.
int HexDigitValue(char c);
