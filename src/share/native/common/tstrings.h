// String utilities: wide text inside, UTF-8 and the ANSI code page at the edges.
#ifndef CORVELA_TSTRINGS_H
#define CORVELA_TSTRINGS_H

#include <cstdarg>
#include <string>
#include <type_traits>
#include <vector>

// Wide text is UTF-16 everywhere inside the launcher; narrow text appears only at the edges.
typedef std::wstring tstring;
typedef std::vector<tstring> tstring_array;

namespace tstrings {

std::string toUtf8(const tstring& text);
std::string toACP(const tstring& text);
tstring fromUtf8(const std::string& bytes);

tstring toLower(const tstring& text);
bool startsWith(const tstring& text, const tstring& prefix);
bool endsWith(const tstring& text, const tstring& suffix);
tstring replace(const tstring& text, const tstring& search, const tstring& replacement);
tstring_array split(const tstring& text, const tstring& delimiter);

tstring join(tstring_array::const_iterator first, tstring_array::const_iterator last,
             const tstring& delimiter);
tstring join(const tstring_array& items, const tstring& delimiter);
tstring join(const tstring_array& items, wchar_t delimiter);

// printf's formatting by the C runtime's own formatter, of any length.
std::string vformatPrintf(const char* format, va_list args);

// Message text written with <<, in the forms the launcher's messages have always had:
// integers in decimal, pointers as 0x and lowercase hex (a null one as 0), narrow
// zero-terminated strings widened byte by byte, std::string decoded from UTF-8. A buffer of
// its own: no stream, no locale.
class Builder {
public:
    Builder() = default;
    explicit Builder(const char* utf8);

    Builder& operator<<(const char* bytes);
    Builder& operator<<(const std::string& utf8);
    Builder& operator<<(const tstring& text);
    Builder& operator<<(const wchar_t* text);
    Builder& operator<<(wchar_t c);
    Builder& operator<<(const void* pointer);

    template <class Integer,
              class = typename std::enable_if<std::is_integral<Integer>::value>::type>
    Builder& operator<<(Integer value) {
        if constexpr (std::is_same<Integer, bool>::value) {
            text += value ? L'1' : L'0';
        } else if constexpr (std::is_same<Integer, char>::value ||
                             std::is_same<Integer, signed char>::value ||
                             std::is_same<Integer, unsigned char>::value) {
            // A character, as a wide stream writes one: widened, not a number.
            text += static_cast<wchar_t>(static_cast<unsigned char>(value));
        } else if constexpr (std::is_signed<Integer>::value) {
            // The magnitude of the most negative value does not fit the signed type.
            const unsigned long long magnitude = value < 0
                                                     ? 0 - static_cast<unsigned long long>(value)
                                                     : static_cast<unsigned long long>(value);
            appendDecimal(magnitude, value < 0);
        } else {
            appendDecimal(static_cast<unsigned long long>(value), false);
        }
        return *this;
    }

    tstring tstr() const { return text; }
    std::string str() const { return toUtf8(text); }

private:
    void appendDecimal(unsigned long long magnitude, bool negative);

    tstring text;
};

} // namespace tstrings

#endif
