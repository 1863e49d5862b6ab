// Included first in every launcher source built with libstdc++: strings instantiated in place.
// libstdc++ declares std::string and std::wstring as explicitly instantiated in the library,
// so each member the launcher calls links in the library's whole instantiation (one object
// each, kept whole for its unwind data). Its own special value -1 withdraws only those two
// declarations: the members used are instantiated with the launcher's code, and link-time
// optimisation drops the rest.
#include <bits/c++config.h>
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE -1
