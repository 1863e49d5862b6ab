// String utilities: wide text inside, UTF-8 and the ANSI code page at the edges.
#ifndef CORVELA_TSTRINGS_H
#define CORVELA_TSTRINGS_H

#include <cstdarg>
#include <ostream>
#include <sstream>
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

tstring formatPrintf(const wchar_t* format, ...);
tstring vformatPrintf(const wchar_t* format, va_list args);

class Builder {
public:
    Builder();
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
        stream << value;
        return *this;
    }

    tstring tstr() const { return stream.str(); }
    std::string str() const { return toUtf8(stream.str()); }

private:
    std::wostringstream stream;
};

std::ostream& operator<<(std::ostream& out, const Builder& builder);

} // namespace tstrings

#endif
