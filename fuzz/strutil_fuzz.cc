// strutil_fuzz.cc - the string helpers of the plain functions on arbitrary bytes:
// splitting must match the token rules and lose nothing but delimiters; shell
// quoting must read back, as one shell word, exactly the text it was given.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ostra/str_util.h"

namespace {

// check - stop the run with a message when a property fails.
void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}

// modelSplit - tokens between runs of delimiter bytes; a text that is empty or
// ends in delimiters ends with one empty token.
std::vector<std::string> modelSplit(const std::string& text, const std::string& delimiters)
{
    std::vector<std::string> tokens;
    std::size_t p = 0;
    for (;;) {
        while (p < text.size() && delimiters.find(text[p]) != std::string::npos)
            ++p;
        std::size_t end = p;
        while (end < text.size() && delimiters.find(text[end]) == std::string::npos)
            ++end;
        tokens.push_back(text.substr(p, end - p));
        p = end;
        if (p == text.size())
            return tokens;
    }
}

void checkSplit(const std::string& text, const std::string& delimiters)
{
    char** list = string_split(text.c_str(), delimiters.c_str());
    check(list != nullptr, "split succeeds");
    const std::vector<std::string> expected = modelSplit(text, delimiters);
    std::size_t count = 0;
    std::string joined;
    for (; list[count] != nullptr; ++count) {
        check(count < expected.size(), "no more tokens than the rules give");
        check(expected[count] == list[count], "tokens as the rules give");
        check(list[count][std::strcspn(list[count], delimiters.c_str())] == '\0',
              "no delimiter inside a token");
        check(list[count][0] != '\0' || list[count + 1] == nullptr, "only the last token empty");
        joined += list[count];
    }
    check(count == expected.size() && count >= 1, "every token, at least one");
    std::string kept;
    for (char c : text)
        if (delimiters.find(c) == std::string::npos)
            kept += c;
    check(joined == kept, "splitting drops delimiters and nothing else");
    free_array(list);
}

bool isShellSpecial(unsigned char c)
{
    return c != '\0' && std::strchr("\t \"#$&'()*;<>?[\\`|~", c) != nullptr;
}

// unquote - the word a POSIX shell reads from quoted text; false when the
// text would not be one literal word (an unescaped special byte, an open quote).
bool unquote(const std::string& quoted, std::string& word)
{
    word.clear();
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(quoted[i]);
        if (c == '\\') {
            if (++i == quoted.size() || quoted[i] == '\n')
                return false; // a trailing backslash, or a line continuation
            word += quoted[i];
        } else if (c == '\'') {
            const std::size_t close = quoted.find('\'', i + 1);
            if (close == std::string::npos)
                return false;
            word.append(quoted, i + 1, close - i - 1);
            i = close;
        } else if (c == '\n' || isShellSpecial(c)) {
            return false;
        } else {
            word += quoted[i];
        }
    }
    return true;
}

void checkQuote(const std::string& text)
{
    const std::string quoted = ostra::sh_quote(text);
    std::size_t specials = 0, newlines = 0;
    for (char c : text) {
        specials += isShellSpecial(static_cast<unsigned char>(c));
        newlines += c == '\n';
    }
    check(quoted.size() == text.size() + specials + 2 * newlines, "one escape per special byte");
    std::string word;
    check(unquote(quoted, word), "quoted text is one literal word");
    check(word == text, "quoted text reads back as the text");
    check(text.empty() == quoted.empty(), "only the empty text quotes to nothing");
}

void checkCase(const std::string& text)
{
    char* lower = strtolower_dynamic(text.c_str());
    check(lower != nullptr, "lower-cased copy");
    const std::size_t len = std::strlen(text.c_str());
    check(std::strlen(lower) == len, "lower-casing keeps the length");
    for (std::size_t i = 0; i < len; ++i) {
        const char c = text[i];
        check(lower[i] == ((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c), "only A to Z change");
    }
    std::free(lower);
}

void checkTrim(const std::string& text)
{
    std::vector<char> buffer(text.c_str(), text.c_str() + std::strlen(text.c_str()) + 1);
    char* trimmed = ostra_trim(buffer.data());
    const std::size_t len = std::strlen(trimmed);
    check(trimmed >= buffer.data() && trimmed + len < buffer.data() + buffer.size(),
          "trimmed text inside its buffer");
    check(len == 0 || (!std::isspace(static_cast<unsigned char>(trimmed[0])) &&
                       !std::isspace(static_cast<unsigned char>(trimmed[len - 1]))),
          "no white space at either end");
    check(std::strncmp(trimmed, text.c_str() + (trimmed - buffer.data()), len) == 0,
          "trimmed text is a piece of the text");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    // The C helpers see C strings: both stop at their first NUL.
    std::string delimiters = input.ConsumeRandomLengthString(8);
    delimiters = delimiters.substr(0, delimiters.find('\0'));
    const std::string bytes = input.ConsumeRemainingBytesAsString();
    const std::string text = bytes.substr(0, bytes.find('\0'));

    checkSplit(text, delimiters);
    checkQuote(bytes);
    checkCase(text);
    checkTrim(text);
    return 0;
}
