#include <gtest/gtest.h>

#include <windows.h>

#include <iterator>

#include "CfgFile.h"
#include "ErrorHandling.h"
#include "LogCapture.h"
#include "Raises.h"
#include "TestSupport.h"

namespace ts = testing_support;

namespace {

class CfgFileTest : public ::testing::Test {
protected:
    CfgFile load(const std::string& bytes) {
        ts::writeFile(path, bytes);
        return CfgFile::load(path);
    }

    // The values of one property, or a marker when it is not set.
    static tstring_array values(const CfgFile& cfg, const SectionKey& section,
                                const PropertyKey& property) {
        const PropertyMap& map = cfg.sectionProperties(section);
        const auto it = map.find(property);
        return it == map.end() ? tstring_array{L"<unset>"} : it->second;
    }

    static size_t sectionSize(const CfgFile& cfg, const SectionKey& section) {
        return cfg.sectionProperties(section).size();
    }

    std::string loadError(const std::string& bytes) {
        return ts::raisedMessage([&] { load(bytes); });
    }

    ts::TempDir dir;
    tstring path = dir / L"Demo.cfg";
};

TEST_F(CfgFileTest, EmptyAndCommentOnlyFilesHaveNoSections) {
    for (const char* text : {"", "; comment\n\n;another\n", "\n\n\n", "app.mainjar=x\n"}) {
        const CfgFile cfg = load(text);
        EXPECT_EQ(sectionSize(cfg, SectionName::Application), 0u) << text;
        EXPECT_EQ(sectionSize(cfg, SectionName::ArgOptions), 0u) << text;
    }
}

TEST_F(CfgFileTest, ReadsSectionsAndPropertiesAsWritten) {
    const CfgFile cfg = load("[Application]\n"
                             "app.mainjar=$APPDIR\\main.jar\n"
                             "app.classpath=a.jar\n"
                             "app.classpath=b.jar\n"
                             "app.unknown=ignored\n"
                             "[JavaOptions]\n"
                             "java-options=-Dkey=value=more\n"
                             "java-options=-Dpath=C:\\a\\=b\n"
                             "java-options=\n"
                             "app.mainjar=stored but unused\n"
                             "[Unknown]\n"
                             "java-options=discarded\n"
                             "[ArgOptions]\n"
                             "arguments\n"
                             "arguments= padded \n");
    EXPECT_EQ(values(cfg, SectionName::Application, PropertyName::mainjar),
              tstring_array{L"$APPDIR\\main.jar"});
    EXPECT_EQ(values(cfg, SectionName::Application, PropertyName::classpath),
              (tstring_array{L"a.jar", L"b.jar"}));
    EXPECT_EQ(values(cfg, SectionName::JavaOptions, PropertyName::javaOptions),
              (tstring_array{L"-Dkey=value=more", L"-Dpath=C:\\a\\=b", L""}));
    EXPECT_EQ(values(cfg, SectionName::JavaOptions, PropertyName::mainjar),
              tstring_array{L"stored but unused"});
    EXPECT_EQ(values(cfg, SectionName::ArgOptions, PropertyName::arguments),
              (tstring_array{L"", L" padded "}));
    EXPECT_EQ(sectionSize(cfg, SectionName::Application), 2u);
}

TEST_F(CfgFileTest, HeaderAndKeyEdgeCases) {
    struct Case {
        const char* text;
        const SectionKey* section;
        const PropertyKey* property;
        tstring_array expected;
    } cases[] = {
        // Text after the last "]" is ignored.
        {"[Application] ; remark\napp.mainjar=x\n",
         &SectionName::Application,
         &PropertyName::mainjar,
         {L"x"}},
        // A blank before "]" names another section.
        {"[Application ]\napp.mainjar=x\n",
         &SectionName::Application,
         &PropertyName::mainjar,
         {L"<unset>"}},
        // "]" before the last one belongs to the name.
        {"[Application]]\napp.mainjar=x\n",
         &SectionName::Application,
         &PropertyName::mainjar,
         {L"<unset>"}},
        // A blank before "=" makes the key unknown; a trailing blank stays in the value.
        {"[Application]\napp.mainjar =x\napp.mainclass=Main \n",
         &SectionName::Application,
         &PropertyName::mainjar,
         {L"<unset>"}},
        {"[Application]\napp.mainjar =x\napp.mainclass=Main \n",
         &SectionName::Application,
         &PropertyName::mainclass,
         {L"Main "}},
        // An escaped "=" belongs to the key; the backslash stays.
        {"[Application]\napp.mainjar\\=x=y\n",
         &SectionName::Application,
         &PropertyName::mainjar,
         {L"<unset>"}},
        {"[ArgOptions]\narguments\\=x\n",
         &SectionName::ArgOptions,
         &PropertyName::arguments,
         {L"<unset>"}},
        // "=" first: an empty key.
        {"[ArgOptions]\n=arguments\n",
         &SectionName::ArgOptions,
         &PropertyName::arguments,
         {L"<unset>"}},
        // An indented header is a property line: what follows stays in the previous section.
        {"[Application]\n [JavaOptions]\napp.mainjar=x\n",
         &SectionName::Application,
         &PropertyName::mainjar,
         {L"x"}},
        // Keys and sections are case-sensitive; "#" is no comment.
        {"[application]\napp.mainjar=x\n",
         &SectionName::Application,
         &PropertyName::mainjar,
         {L"<unset>"}},
        {"[Application]\nApp.MainJar=x\n#app.mainjar=y\n",
         &SectionName::Application,
         &PropertyName::mainjar,
         {L"<unset>"}},
        // Repeated keys keep all values in order.
        {"[Application]\napp.mainjar=a\napp.mainjar=b\n",
         &SectionName::Application,
         &PropertyName::mainjar,
         {L"a", L"b"}},
        // A ";" later in the line is ordinary text.
        {"[Application]\napp.mainjar=a;b\n",
         &SectionName::Application,
         &PropertyName::mainjar,
         {L"a;b"}},
        // An empty section name is no section.
        {"[]\napp.mainjar=x\n", &SectionName::Application, &PropertyName::mainjar, {L"<unset>"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(values(load(c.text), *c.section, *c.property), c.expected) << c.text;
    }
}

TEST_F(CfgFileTest, LaterOccurrenceReplacesOnlyWhenItCollectedSomething) {
    const CfgFile replaced = load("[Application]\napp.mainjar=main.jar\n"
                                  "[JavaOptions]\njava-options=-Xmx1g\n"
                                  "[Application]\napp.mainclass=Main\n");
    EXPECT_EQ(values(replaced, SectionName::Application, PropertyName::mainjar),
              tstring_array{L"<unset>"});
    EXPECT_EQ(values(replaced, SectionName::Application, PropertyName::mainclass),
              tstring_array{L"Main"});

    const CfgFile kept = load("[Application]\napp.mainjar=main.jar\n"
                              "[JavaOptions]\njava-options=-Xmx1g\n"
                              "[Application]\nunknown=1\n; nothing\n");
    EXPECT_EQ(values(kept, SectionName::Application, PropertyName::mainjar),
              tstring_array{L"main.jar"});
    EXPECT_EQ(values(kept, SectionName::JavaOptions, PropertyName::javaOptions),
              tstring_array{L"-Xmx1g"});
}

TEST_F(CfgFileTest, UnclosedHeaderFailsWithItsLineNumber) {
    const std::string expected =
        "Error parsing [" + ts::utf8(path) + "] file at 3: Missing ']' character";
    EXPECT_EQ(loadError("; one\n\n[Application\napp.mainjar=x\n"), expected);
    EXPECT_EQ(loadError("[Application]\napp.mainjar=x\n[JavaOptions"),
              "Error parsing [" + ts::utf8(path) + "] file at 3: Missing ']' character");
    // CR LF lines count the same; a lone "[" too.
    EXPECT_EQ(loadError("[Application]\r\n\r\n[\r\n"), expected);
}

TEST_F(CfgFileTest, TextModeLineEndingsAndCtrlZ) {
    const std::string lf = "[Application]\napp.mainjar=main.jar\napp.classpath=a.jar\n";
    const std::string crlf = "[Application]\r\napp.mainjar=main.jar\r\napp.classpath=a.jar\r\n";
    const CfgFile a = load(lf);
    const CfgFile b = load(crlf);
    EXPECT_EQ(values(a, SectionName::Application, PropertyName::mainjar),
              values(b, SectionName::Application, PropertyName::mainjar));
    EXPECT_EQ(values(b, SectionName::Application, PropertyName::classpath),
              tstring_array{L"a.jar"});

    // A lone CR stays in the value.
    EXPECT_EQ(values(load("[Application]\napp.mainjar=a\rb\n"), SectionName::Application,
                     PropertyName::mainjar),
              tstring_array{L"a\rb"});
    // Ctrl-Z ends the input, even in the middle of a line, without an error.
    const CfgFile stopped = load("[Application]\napp.mainjar=a\x1a"
                                 "b\napp.mainclass=Main\n[Broken\n");
    EXPECT_EQ(values(stopped, SectionName::Application, PropertyName::mainjar),
              tstring_array{L"a"});
    EXPECT_EQ(values(stopped, SectionName::Application, PropertyName::mainclass),
              tstring_array{L"<unset>"});
    // No final line feed needed.
    EXPECT_EQ(values(load("[Application]\napp.mainjar=last"), SectionName::Application,
                     PropertyName::mainjar),
              tstring_array{L"last"});
}

TEST_F(CfgFileTest, ByteOrderMarkAndInvalidUtf8Lines) {
    struct Case {
        const char* what;
        const char* bytes;
        const PropertyKey& property;
        tstring_array expected;
    } cases[] = {
        // A file saved as "UTF-8 with BOM" keeps its first section.
        {"leading mark",
         "\xef\xbb\xbf[Application]\napp.mainjar=x\n[ArgOptions]\narguments=a\n",
         PropertyName::mainjar,
         {L"x"}},
        {"mark only", "\xef\xbb\xbf", PropertyName::mainjar, {L"<unset>"}},
        // Only one leading mark is skipped; a second one, or one further on, is text.
        {"two marks",
         "\xef\xbb\xbf\xef\xbb\xbf[Application]\napp.mainjar=x\n",
         PropertyName::mainjar,
         {L"<unset>"}},
        {"mark before a key",
         "[Application]\n\xef\xbb\xbf"
         "app.mainjar=x\n",
         PropertyName::mainjar,
         {L"<unset>"}},
        {"mark in a value",
         "[Application]\napp.mainclass=\xef\xbb\xbfM\n",
         PropertyName::mainclass,
         {L"\ufeffM"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(values(load(c.bytes), SectionName::Application, c.property), c.expected);
    }
    EXPECT_EQ(values(load(cases[0].bytes), SectionName::ArgOptions, PropertyName::arguments),
              tstring_array{L"a"});

    const CfgFile invalid =
        load("[Application]\napp.mainjar=bad\xff\napp.mainclass=M\xc3\xa9in\n[Bad\xff\n");
    EXPECT_EQ(values(invalid, SectionName::Application, PropertyName::mainjar),
              tstring_array{L"<unset>"});
    EXPECT_EQ(values(invalid, SectionName::Application, PropertyName::mainclass),
              tstring_array{L"M\u00e9in"});
}

TEST_F(CfgFileTest, MissingFileAndDirectoryFailToOpen) {
    const tstring missing = dir / L"missing.cfg";
    EXPECT_EQ(ts::raisedMessage([&] { CfgFile::load(missing); }),
              "Error opening \"" + ts::utf8(missing) + "\" file: No such file or directory");
    EXPECT_TRUE(
        ts::raisesErrorStartingWith([&] { CfgFile::load(dir.path()); },
                                    "Error opening \"" + ts::utf8(dir.path()) + "\" file: "));
}

TEST(CfgKeys, CompareByNameNotByPointer) {
    const wchar_t copy[] = L"Application";
    EXPECT_TRUE(SectionKey(copy) == SectionName::Application);
    EXPECT_TRUE(PropertyKey(L"app") < PropertyKey(L"app.mainjar"));
    SectionKey found(L"");
    EXPECT_FALSE(CfgFile::findSection(L"argoptions", found));
    PropertyKey property(L"");
    EXPECT_FALSE(CfgFile::findProperty(L"app.foo", property));
}

// Every key the launcher declares is read from a file, under its own name, in every section
// it declares: the constants and the reader take the one key table.
TEST_F(CfgFileTest, EveryDeclaredKeyIsReadInEveryDeclaredSection) {
    const std::vector<SectionKey>& sections = CfgFile::allSections();
    const std::vector<PropertyKey>& properties = CfgFile::allProperties();
    std::string text;
    for (const SectionKey& section : sections) {
        text += "[" + ts::utf8(section.name()) + "]\n";
        for (const PropertyKey& property : properties) {
            text += ts::utf8(property.name()) + "=" + ts::utf8(section.name()) + "/" +
                    ts::utf8(property.name()) + "\n";
        }
    }
    const CfgFile cfg = load(text);
    for (const SectionKey& section : sections) {
        EXPECT_EQ(sectionSize(cfg, section), properties.size()) << ts::utf8(section.name());
        for (const PropertyKey& property : properties) {
            EXPECT_EQ(values(cfg, section, property),
                      tstring_array{tstring(section.name()) + L"/" + property.name()});
        }
    }
}

// The accessors every step reads the configuration with: the last line of a value wins, and
// an on/off key is off unless it says its one word for on, with a warning for a word it
// does not know.
TEST_F(CfgFileTest, ValuesAndOnOffKeys) {
    const CfgFile cfg = load("[Application]\napp.class-data=off\napp.class-data=auto\n"
                             "app.single-instance=True\napp.splash=\n[JavaOptions]\n"
                             "java-options=-Da\njava-options=-Db\n");
    tstring value = L"unchanged";
    EXPECT_FALSE(cfg.findValue(PropertyName::mainjar, value));
    EXPECT_EQ(value, L"unchanged");
    EXPECT_TRUE(cfg.findValue(PropertyName::splash, value));
    EXPECT_EQ(value, L"");
    EXPECT_EQ(cfg.values(SectionName::JavaOptions, PropertyName::javaOptions),
              (tstring_array{L"-Da", L"-Db"}));
    EXPECT_TRUE(cfg.values(SectionName::ArgOptions, PropertyName::arguments).empty());

    struct Case {
        const PropertyKey* key;
        const wchar_t* on;
        const wchar_t* off;
        bool isOn;
        const char* warning; // empty: none
    } cases[] = {
        {&PropertyName::classData, L"auto", L"off", true, ""},
        {&PropertyName::singleInstance, L"true", L"false", false,
         "app.single-instance=True is neither true nor false: taken as false"},
        {&PropertyName::mainjar, L"true", L"false", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ts::utf8(c.key->name()));
        ts::CapturedLog capture;
        EXPECT_EQ(cfg.isOn(*c.key, c.on, c.off), c.isOn);
        if (*c.warning) {
            ASSERT_EQ(capture.records.size(), 1u);
            EXPECT_EQ(ts::utf8(capture.records[0].message), c.warning);
        } else {
            EXPECT_TRUE(capture.records.empty());
        }
    }
}

TEST(CfgValues, LastAndJoined) {
    EXPECT_EQ(lastValue({L"a", L"b"}), L"b");
    EXPECT_EQ(joinedValues({L"a", L"b", L"c"}), L"a;b;c");
    EXPECT_EQ(joinedValues({L"only"}), L"only");
}

TEST_F(CfgFileTest, ReplacePropertyCreatesOrReplacesAndKeepsTheRest) {
    CfgFile cfg = load("[ArgOptions]\narguments=a\narguments=b\n[Application]\napp.mainjar=m\n");
    cfg.replaceProperty(SectionName::ArgOptions, PropertyName::arguments, {L"x"})
        .replaceProperty(SectionName::JavaOptions, PropertyName::javaOptions, {L"-Da", L"-Db"});
    EXPECT_EQ(values(cfg, SectionName::ArgOptions, PropertyName::arguments), tstring_array{L"x"});
    EXPECT_EQ(values(cfg, SectionName::JavaOptions, PropertyName::javaOptions),
              (tstring_array{L"-Da", L"-Db"}));
    EXPECT_EQ(values(cfg, SectionName::Application, PropertyName::mainjar), tstring_array{L"m"});
}

MacroMap imageMacros(const tstring& root) {
    return MacroMap{{L"$APPDIR", root + L"\\app"}, {L"$BINDIR", root}, {L"$ROOTDIR", root}};
}

TEST(MacroExpansion, Table) {
    const MacroMap macros = imageMacros(L"C:\\Demo");
    struct Case {
        const wchar_t* value;
        const wchar_t* expected;
    } cases[] = {
        {L"$APPDIR\\a.jar;$APPDIR\\b.jar", L"C:\\Demo\\app\\a.jar;C:\\Demo\\app\\b.jar"},
        {L"$APPDIRx", L"C:\\Demo\\appx"},
        {L"$appdir\\a.jar", L"$appdir\\a.jar"},
        {L"$ROOTDIR\\runtime2", L"C:\\Demo\\runtime2"},
        {L"$BINDIR", L"C:\\Demo"},
        {L"no macro", L"no macro"},
        {L"$", L"$"},
        {L"", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(expandMacros(c.value, macros), c.expected) << ts::utf8(c.value);
    }
}

TEST(MacroExpansion, MacroValuesNamingOtherMacrosExpandInLaterPasses) {
    // Applied in name order: $APPDIR first, so a $ROOTDIR value holding $APPDIR and a
    // $BINDIR value holding $ROOTDIR need further passes.
    const MacroMap macros{{L"$APPDIR", L"C:\\img\\app"},
                          {L"$BINDIR", L"$ROOTDIR\\bin"},
                          {L"$ROOTDIR", L"$APPDIR\\.."}};
    EXPECT_EQ(expandMacros(L"$BINDIR\\x", macros), L"C:\\img\\app\\..\\bin\\x");
}

TEST(MacroExpansion, CyclesEndWithTheNamesTakenLiterally) {
    // An image installed under a directory that is itself called "$APPDIR".
    const MacroMap literal = imageMacros(L"C:\\$APPDIR");
    EXPECT_EQ(expandMacros(L"$APPDIR\\main.jar", literal), L"C:\\$APPDIR\\app\\main.jar");
    EXPECT_EQ(expandMacros(L"$ROOTDIR", literal), L"C:\\$APPDIR");

    // Two macros naming each other, and one that doubles itself on every pass.
    const MacroMap mutual{{L"$A", L"<$B>"}, {L"$B", L"[$A]"}};
    EXPECT_EQ(expandMacros(L"$A", mutual), L"<[$A]>");
    const MacroMap doubling{{L"$X", L"$X$X"}};
    EXPECT_EQ(expandMacros(L"$X", doubling), L"$X$X");
}

TEST(MacroExpansion, EveryOccurrenceInALongValueExpands) {
    // A class path of a hundred entries on one line, as an image tool writes it.
    const tstring root = L"C:\\Program Files\\Some Vendor\\Some Application";
    tstring value;
    tstring expected;
    for (int i = 0; i < 100; ++i) {
        const tstring entry = L"\\lib\\library-" + std::to_wstring(i) + L".jar;";
        value += L"$APPDIR" + entry;
        expected += root + L"\\app" + entry;
    }
    value += L"$ROOTDIR";
    expected += root;
    EXPECT_EQ(expandMacros(value, imageMacros(root)), expected);
}

TEST(MacroExpansion, GrowthWithinOnePassIsBounded) {
    // Each pass may grow a value by at most 1 Mi code units; beyond that the value is taken
    // as it stands, instead of taking all memory in a single pass.
    const tstring longValue(4096, L'x');
    struct Case {
        const char* what;
        MacroMap macros;
        tstring value;
    } cases[] = {
        {"many names of one long macro",
         {{L"$APPDIR", longValue}},
         [] {
             tstring v;
             for (int i = 0; i < 1000; ++i) {
                 v += L"$APPDIR;";
             }
             return v;
         }()},
        {"macros multiplying each other within the pass",
         {{L"$A", L"$B$B$B$B$B$B$B$B"}, {L"$B", L"$C$C$C$C$C$C$C$C"}, {L"$C", longValue}},
         L"$A$A$A$A$A$A$A$A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(expandMacros(c.value, c.macros), c.value);
    }
    // Growth within the bound expands in full.
    const tstring fits = L"$APPDIR;$APPDIR";
    EXPECT_EQ(expandMacros(fits, {{L"$APPDIR", longValue}}), longValue + L";" + longValue);
}

TEST_F(CfgFileTest, WithMacrosExpandedCopiesAndLeavesTheOriginal) {
    const CfgFile cfg = load("[Application]\napp.mainjar=$APPDIR\\m.jar\n"
                             "[JavaOptions]\njava-options=-Dd=$ROOTDIR\n");
    const CfgFile expanded = cfg.withMacrosExpanded(imageMacros(L"D:\\I"));
    EXPECT_EQ(values(expanded, SectionName::Application, PropertyName::mainjar),
              tstring_array{L"D:\\I\\app\\m.jar"});
    EXPECT_EQ(values(expanded, SectionName::JavaOptions, PropertyName::javaOptions),
              tstring_array{L"-Dd=D:\\I"});
    EXPECT_EQ(values(cfg, SectionName::Application, PropertyName::mainjar),
              tstring_array{L"$APPDIR\\m.jar"});
}

TEST(EnvironmentExpansion, Table) {
    const tstring big(32000, L'\u00e9');
    ts::ScopedEnv home(L"CV_HOME", L"C:\\Users\\u");
    ts::ScopedEnv other(L"CV_OTHER", L"%CV_HOME%");
    ts::ScopedEnv macro(L"CV_MACRO", L"$APPDIR");
    ts::ScopedEnv cyrillic(L"CV_NAME", L"\u0422\u0435\u0441\u0442 \u65e5\u672c");
    ts::ScopedEnv empty(L"CV_EMPTY", L"");
    ts::ScopedEnv large(L"CV_LARGE", big);
    ts::ScopedEnv unset(L"CV_UNSET", L"", true);
    struct Case {
        tstring value;
        tstring expected;
    } cases[] = {
        {L"-Dlog.dir=%CV_HOME%\\logs", L"-Dlog.dir=C:\\Users\\u\\logs"},
        {L"%CV_HOME%;%CV_HOME%", L"C:\\Users\\u;C:\\Users\\u"},
        {L"%cv_home%", L"C:\\Users\\u"},
        {L"%Cv_HoMe%", L"C:\\Users\\u"},
        {L"-Dx=%CV_UNSET%", L"-Dx=%CV_UNSET%"},
        {L"100%% sure", L"100% sure"},
        {L"%%CV_HOME%%", L"%CV_HOME%"},
        {L"-Dformat=100%", L"-Dformat=100%"},
        {L"%", L"%"},
        {L"100% of %CV_HOME%", L"100% of C:\\Users\\u"},
        {L"%CV_OTHER%", L"%CV_HOME%"},
        {L"%CV_MACRO%", L"$APPDIR"},
        {L"%CV_NAME%", L"\u0422\u0435\u0441\u0442 \u65e5\u672c"},
        {L"[%CV_EMPTY%]", L"[]"},
        {L"%CV_LARGE%", big},
        {L"%=C:%", L"%=C:%"},
        {L"no reference", L"no reference"},
        {L"", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(expandEnvironment(c.value), c.expected) << ts::utf8(c.value.substr(0, 40));
    }
}

TEST(EnvironmentExpansion, UnsetVariablesAreTraced) {
    ts::ScopedEnv unset(L"CV_UNSET", L"", true);
    ts::CapturedLog log;
    EXPECT_EQ(expandEnvironment(L"-Dformat=100%"), L"-Dformat=100%");
    EXPECT_TRUE(log.records.empty());
    EXPECT_EQ(expandEnvironment(L"a%CV_UNSET%b"), L"a%CV_UNSET%b");
    EXPECT_EQ(log.messages(), std::vector<tstring>{L"Environment variable \"CV_UNSET\" is not set: "
                                                   L"\"%CV_UNSET%\" stays as written"});
}

TEST_F(CfgFileTest, EnvironmentExpandsInEverySectionAfterTheMacros) {
    ts::ScopedEnv dir(L"CV_DIR", L"$ROOTDIR\\%CV_DIR%");
    const CfgFile cfg = load("[Application]\napp.mainjar=%CV_DIR%\\m.jar\n"
                             "app.runtime=$ROOTDIR\\rt\n"
                             "[JavaOptions]\njava-options=-Dd=%cv_dir%\n"
                             "[ArgOptions]\narguments=%CV_DIR%\n");
    const CfgFile expanded =
        cfg.withMacrosExpanded(imageMacros(L"D:\\I")).withEnvironmentExpanded();
    // The variable's value arrives as it is: neither its macro nor its reference expands.
    EXPECT_EQ(values(expanded, SectionName::Application, PropertyName::mainjar),
              tstring_array{L"$ROOTDIR\\%CV_DIR%\\m.jar"});
    EXPECT_EQ(values(expanded, SectionName::Application, PropertyName::runtime),
              tstring_array{L"D:\\I\\rt"});
    EXPECT_EQ(values(expanded, SectionName::JavaOptions, PropertyName::javaOptions),
              tstring_array{L"-Dd=$ROOTDIR\\%CV_DIR%"});
    EXPECT_EQ(values(expanded, SectionName::ArgOptions, PropertyName::arguments),
              tstring_array{L"$ROOTDIR\\%CV_DIR%"});
}

} // namespace
