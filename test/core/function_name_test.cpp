// Function names as records and messages show them.
#include <gtest/gtest.h>

#include "ErrorHandling.h"
#include "SourcePosition.h"

namespace outer {
namespace inner {

struct Widget {
    Widget() : constructed(SOURCE_POSITION.function) {}
    ~Widget() {}
    std::string member(int, const char*) const { return SOURCE_POSITION.function; }
    static std::string staticMember() { return SOURCE_POSITION.function; }
    template <class T> std::string templated(T) { return SOURCE_POSITION.function; }
    std::string constructed;
};

std::string freeFunction() {
    return SOURCE_POSITION.function;
}
const std::string* pointerReturning() {
    static const std::string name = SOURCE_POSITION.function;
    return &name;
}

} // namespace inner
} // namespace outer

namespace {

std::string anonymous() {
    return SOURCE_POSITION.function;
}

TEST(QualifiedFunctionName, NamesNamespacesAndClassWithoutSignature) {
    outer::inner::Widget widget;
    EXPECT_EQ(widget.constructed, "outer::inner::Widget::Widget");
    EXPECT_EQ(widget.member(1, "x"), "outer::inner::Widget::member");
    EXPECT_EQ(outer::inner::Widget::staticMember(), "outer::inner::Widget::staticMember");
    EXPECT_EQ(widget.templated(3), "outer::inner::Widget::templated");
    EXPECT_EQ(outer::inner::freeFunction(), "outer::inner::freeFunction");
    EXPECT_EQ(*outer::inner::pointerReturning(), "outer::inner::pointerReturning");
    EXPECT_EQ(anonymous(), "{anonymous}::anonymous");
}

TEST(QualifiedFunctionName, CutsCompilerSignatures) {
    struct Case {
        const char* signature;
        const char* expected;
    } cases[] = {
        {"void Jvm::launch()", "Jvm::launch"},
        {"int app::launch(const std::nothrow_t&, app::LaunchFunc, LogAppender*)", "app::launch"},
        {"Jvm::Jvm()", "Jvm::Jvm"},
        {"Jvm::~Jvm()", "Jvm::~Jvm"},
        {"static DWORD {anonymous}::RunExecutorWithMsgLoop::apply(const Executor&)",
         "{anonymous}::RunExecutorWithMsgLoop::apply"},
        {"static DWORD (anonymous namespace)::RunExecutorWithMsgLoop::apply(const Executor &)",
         "{anonymous}::RunExecutorWithMsgLoop::apply"},
        {"void (anonymous namespace)::raisePlain()", "{anonymous}::raisePlain"},
        {"std::unique_ptr<Jvm> AppLauncher::createJvmLauncher(const CfgFile&) const",
         "AppLauncher::createJvmLauncher"},
        {"const PropertyMap& CfgFile::sectionProperties(const SectionKey&) const",
         "CfgFile::sectionProperties"},
        {"T* ns::Box<T>::get() [with T = int]", "ns::Box<T>::get"},
        {"AtEndOfScope<Callable>::~AtEndOfScope() [with Callable = {anonymous}::f()::<lambda()>]",
         "AtEndOfScope<Callable>::~AtEndOfScope"},
        {"Jvm::launch", "Jvm::launch"},
        {"wWinMain", "wWinMain"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qualifiedFunctionName(c.signature), c.expected) << c.signature;
    }
}

} // namespace
