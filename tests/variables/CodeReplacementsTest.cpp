#include "variables/CodeReplacements.h"

#include "app/LumoApp.h"
#include "app/LumoPaths.h"
#include "app/MessageBox.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "support/TestSupport.h"
#include "variables/VariableExpander.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using lumo::test::TempDir;
using lumo::test::writeWholeFile;

CodeReplacementTable tableOf(const std::string& text, std::vector<CodeReplacementError>* errors = nullptr) {
    CodeReplacementTable table;
    std::vector<CodeReplacementError> found;
    table.addText(text, "codes.txt", found);
    if (errors)
        *errors = found;
    else
        EXPECT_TRUE(found.empty());
    return table;
}

TEST(CodeReplacements, ReplaceFollowsTheCandidateRules) {
    const CodeReplacementTable table = tableOf("23\tLeBron James\nab\tAlpha Beta\n[x]\tnever\n{y}\tnever\n");
    struct Case {
        const char* text;
        const char* delimiter;
        const char* want;
        bool replaced;
    } cases[] = {
        {"=23= shoots", "=", "LeBron James shoots", true},
        {"=99= shoots", "=", "=99= shoots", false},               // not in the table
        {"a = b", "=", "a = b", false},                           // one delimiter
        {"x==23=", "=", "x=LeBron James", true},                  // an empty candidate is no code
        {"1=2=23=", "=", "1=2LeBron James", true},                // the second delimiter opens the next
        {"=23==ab=", "=", "LeBron JamesAlpha Beta", true},        // scanning resumes after a replacement
        {"=2\t3= =[x]= ={y}=", "=", "=2\t3= =[x]= ={y}=", false}, // TAB, [ ], { } are no codes
        {"=AB=", "=", "Alpha Beta", true}, // letter case ignored when nothing matches exactly
        {"§23§ and §ab", "§", "LeBron James and §ab", true}, // a multi-byte delimiter
        {"=23=", "", "=23=", false},
    };
    for (const Case& c : cases) {
        bool replaced = true;
        EXPECT_EQ(ReplaceCodes(c.text, table, c.delimiter, {}, &replaced), c.want) << c.text;
        EXPECT_EQ(replaced, c.replaced) << c.text;
    }
}

TEST(CodeReplacements, HasCodes) {
    EXPECT_TRUE(HasCodes("a =23= b", "="));
    EXPECT_TRUE(HasCodes("a {caption} b", "="));
    EXPECT_FALSE(HasCodes("a = b", "="));
    EXPECT_FALSE(HasCodes("a } {", "="));
    EXPECT_TRUE(HasCodes("==", "="));
}

TEST(CodeReplacements, DirectivesNamespacesAndLookupOrder) {
    std::vector<CodeReplacementError> errors;
    CodeReplacementTable table;
    table.addText("\xEF\xBB\xBF"
                  "// a comment\tnot a code\n"
                  "1\tglobal one\r\n"
                  "//$$ Lakers \n"
                  "//==LAL\n"
                  "//==lal\n"
                  "//?? 23, 6 ,\t3\n"
                  "1\tlakers one\n"
                  "23\tLeBron James\n"
                  "23\tsecond definition\n"
                  "no tab here\n"
                  "//??7\n"
                  "//##\n"
                  "2\tglobal two\n"
                  "//$$Celtics\n"
                  "1\tceltics one\n",
                  "first.txt", errors);
    table.addText("//$$lakers\n99\tskipped\n//$$Heat\n9\theat nine\n", "second.txt", errors);

    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].message, "Error: Hot Code defaults already defined for namespace 'Lakers'.  "
                                 "File:'first.txt' line 11 has duplicates.");
    EXPECT_EQ(
        errors[1].message,
        "Error: Hot Codes already defined for namespace 'Lakers'.  File:'second.txt' line 1 has duplicates.");
    EXPECT_EQ(errors[1].line, 1);

    const CodeNamespace* lakers = table.findNamespace("lal");
    ASSERT_NE(lakers, nullptr);
    EXPECT_EQ(lakers->name, "Lakers");
    EXPECT_EQ(lakers->names, (std::vector<std::string>{"LAL"}));
    EXPECT_EQ(lakers->defaults, (std::vector<std::string>{"23", "6", "3"}));
    EXPECT_EQ(table.codeCount(), 6u);

    const auto find = [&](const char* code, const char* preferred = "") {
        const std::string* found = table.find(code, preferred);
        return found ? *found : std::string("(none)");
    };
    EXPECT_EQ(find("1"), "global one");             // Global before the others
    EXPECT_EQ(find("1", "Celtics"), "celtics one"); // the preferred namespace first
    EXPECT_EQ(find("LAL:1"), "lakers one");         // named by another name
    EXPECT_EQ(find("23"), "LeBron James");          // the first definition holds
    EXPECT_EQ(find("2"), "global two");             // "//##" went back to Global
    EXPECT_EQ(find("9"), "heat nine");
    EXPECT_EQ(find("99"), "(none)");     // a duplicate namespace's codes are skipped
    EXPECT_EQ(find("nope:1"), "(none)"); // no such namespace: the whole text is the code
    EXPECT_EQ(find("no tab here"), "(none)");
}

TEST(CodeReplacements, DelimiterSettingAndRefusal) {
    EXPECT_EQ(CodeReplacementsDelimiterFromSetting("}"), "=");
    EXPECT_EQ(CodeReplacementsDelimiterFromSetting("{"), "=");
    EXPECT_EQ(CodeReplacementsDelimiterFromSetting(""), "=");
    EXPECT_EQ(CodeReplacementsDelimiterFromSetting("=="), "=");
    EXPECT_EQ(CodeReplacementsDelimiterFromSetting("#"), "#");
    EXPECT_EQ(CodeReplacementsDelimiterFromSetting("§"), "§");
    EXPECT_EQ(CodeReplacementsDelimiterProblem("{"), kCodeReplacementsDelimiterRefused);
    EXPECT_EQ(CodeReplacementsDelimiterProblem("#"), "");

    const PreferenceKey* key = findPreferenceKey(kPrefCodeReplacementsDelimiter);
    ASSERT_NE(key, nullptr);
    EXPECT_FALSE(preferenceValueProblem(*key, CILA::VObject(std::string("{"))).empty());
    EXPECT_FALSE(preferenceValueProblem(*key, CILA::VObject(std::string("ab"))).empty());
    EXPECT_TRUE(preferenceValueProblem(*key, CILA::VObject(std::string("#"))).empty());
    EXPECT_EQ(CodeReplacementsPathsFromSetting("/a.txt\n\n/b c.txt\r\n"),
              (std::vector<std::string>{"/a.txt", "/b c.txt"}));
}

// Start-up loads the files the preferences name, a missing one reported and skipped; replacing then
// expands variables when asked; shutdown lets the tables go.
TEST(CodeReplacements, LoadedAtStartUpFromThePreferences) {
    TempDir dir;
    LumoPaths::initialise(ResolvedLocations{dir.path(), dir.path()});
    writeWholeFile(dir.file("one.txt"), "7\tseven {tab}\n");
    writeWholeFile(dir.file("two.txt"), "//$$Team\n8\teight\n");
    ASSERT_TRUE(CPreferences::GetPreferences());
    {
        const auto preferences = CPreferences::instance();
        preferences->setString(kPrefCodeReplacementsPaths, dir.file("one.txt") + "\n" +
                                                               dir.file("missing.txt") + "\n" +
                                                               dir.file("two.txt"));
        preferences->setString(kPrefCodeReplacementsDelimiter, "}");
    }
    std::string shown;
    setMessageBoxHandler([&](std::string_view text, MessageBoxButtons) {
        shown = text;
        return MessageBoxAnswer::Ok;
    });
    {
        CLumoApp app;
        addCodeReplacementsService(app);
        ASSERT_TRUE(app.InitInstance());
        EXPECT_EQ(shown.rfind(kCodeReplacementsLoadError, 0), 0u) << shown;
        EXPECT_NE(shown.find("missing.txt"), std::string::npos);
        const auto codes = CodeReplacements::current();
        EXPECT_EQ(codes->settings().delimiter, "="); // the stored "}" is read back as "="
        EXPECT_TRUE(codes->hasCodes("=7="));
        EXPECT_EQ(codes->replace("=7= =8="), "seven {tab} eight");
        const VariableContext context;
        const std::string expanded = codes->replace("=7=", &context, 0);
        EXPECT_EQ(expanded, ExpandVariables("seven {tab}", context, 0).text);
        app.ExitInstance();
    }
    setMessageBoxHandler({});
    CPreferences::ClosePreferences();
    EXPECT_EQ(CodeReplacements::current()->table().codeCount(), 0u);
}

} // namespace
