#include "variables/VariableExpander.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace {

// "newfilename" takes its value straight from the context, so it stands in for any text variable.
VariableContext named(std::string name) {
    VariableContext context;
    context.newFileName = std::move(name);
    return context;
}

std::string expand(std::string_view text, const VariableContext& context = named("Photo"),
                   unsigned flags = 0) {
    return ExpandVariables(text, context, flags).text;
}

TEST(VariableExpander, Scanning) {
    struct Case {
        const char* text;
        const char* expected;
        bool expanded;
    };
    const Case cases[] = {
        {"{newfilename}", "Photo", true},
        {"a {{newfilename}} b", "a {{newfilename}} b", false}, // doubled braces never start a variable
        {"{{{newfilename}}}", "{{Photo}}", true},              // pairs skipped, then the variable
        {"x {newfilename and more", "x {newfilename and more", false}, // unterminated: the rest stays
        {"{newfilename} {newfilename", "Photo {newfilename", true},
        {"{nosuchname}-{newfilename}", "{nosuchname}-Photo", true}, // unknown tokens stay whole
        {"{nosuchname}", "{nosuchname}", false},
        {"{a}{ab}", "{a}{ab}", false},                 // too short to be variables, but "{ab}" is scanned
        {"{ {newfilename}", "{ {newfilename}", false}, // the token runs to the first "}"
        {"{ newfilename\t}", "Photo", true},           // the name is trimmed
        {"{newfilename;0,2}", "Ph", true},             // ";" splits when there is no ":"
        {"{newfilename: 0,2 }", "Ph", true},
        {"{NEWFILENAME}", "{NEWFILENAME}", false}, // names are lower case
        {"{", "{", false},
        {"}", "}", false},
        {"", "", false},
    };
    for (const Case& c : cases) {
        const VariableExpansion result = ExpandVariables(c.text, named("Photo"), 0);
        EXPECT_EQ(result.text, c.expected) << c.text;
        EXPECT_EQ(result.expanded, c.expanded) << c.text;
        EXPECT_FALSE(result.usedSequence) << c.text;
    }
}

TEST(VariableExpander, Modifiers) {
    struct Case {
        const char* value;
        const char* modifiers;
        const char* expected;
    };
    const Case cases[] = {
        {"DSC_1234", "0,3", "DSC"},
        {"DSC_1234", "-3", "234"},
        {"DSC_1234", "2", "C_1234"},
        {"DSC_1234", "0,-4", "DSC_"},
        {"DSC_1234", "-3,3", "234"},
        {"DSC_1234", "-20", "DSC_1234"},
        {"DSC_1234", "8", ""},
        {"DSC_1234", "99,2", ""},
        {"DSC_1234", "1,0", ""},
        {"DSC_1234", "2,-20", ""},
        {"DSC_1234", "x", "DSC_1234"},   // unreadable substring: skipped
        {"Café Zürich", "-6", "Zürich"}, // characters, not bytes
        {"Café Zürich", "0,4:UC", "CAFÉ"},
        {"Zürich", ":lc", "zürich"},
        {"Zürich", ":UC", "ZÜRICH"},
        {"zürich", "UC", "zürich"}, // no colon before the case code
        {"o'neil's DOG-house", ":PC", "O'neil's Dog-House"},
        {"ABC", ":lc:UC", "abc"}, // lower case wins
        {"ABC", ":xx", "ABC"},
        {"a-b-c", ":tr:-/_", "a_b_c"},
        {"a/b\\c", ":tr:\\//\\\\", "a\\b\\c"}, // escaped slash and backslash
        {"a-b", ":tr:-/", "ab"},               // empty TO removes
        {"a-b", ":tr:-/x/y", "a-b"},           // a second slash cancels
        {"a-b", ":tr:-", "a-b"},               // no TO
        {"a-b", ":tr:/x", "a-b"},              // no FROM
        {"Big Day", "0,3:lc:tr:b/p", "pig"},   // substring, case, replace in that order
    };
    for (const Case& c : cases)
        EXPECT_EQ(ApplyVariableModifiers(c.value, c.modifiers), c.expected) << c.value << " " << c.modifiers;

    // Through the scanner: the name splits at the first ":", so a case code alone needs two colons.
    EXPECT_EQ(expand("{newfilename::UC}", named("caption")), "CAPTION");
    EXPECT_EQ(expand("{newfilename:UC}", named("caption")), "caption");
    EXPECT_EQ(expand("{newfilename:0,3:UC}", named("caption")), "CAP");
    // Invalid UTF-8 survives and counts byte by byte.
    EXPECT_EQ(ApplyVariableModifiers("a\xff"
                                     "b",
                                     ":UC"),
              "A\xff"
              "B");
    EXPECT_EQ(ApplyVariableModifiers("a\xff"
                                     "b",
                                     "1,1"),
              "\xff");
}

TEST(VariableExpander, FileNameMode) {
    const VariableContext context = named("Team A/B: \"win\"?*<>|\r\n\t\\");
    EXPECT_EQ(expand("{newfilename}", context, kVariableFileName), "Team A-B- -win----------");
    EXPECT_EQ(expand("{newfilename}", context, 0), context.newFileName);
    // Only the values change, never the template's own separators.
    EXPECT_EQ(expand("2026/{newfilename}.jpg", named("a/b"), kVariableFileName), "2026/a-b.jpg");
    // A value can not climb out of the destination folder.
    EXPECT_EQ(expand("{newfilename}/x", named(".."), kVariableFileName), "--/x");
    EXPECT_EQ(expand("{newfilename}/x", named("..."), kVariableFileName), ".../x");
    // Separators a :tr: puts in are replaced too.
    EXPECT_EQ(expand("{newfilename::tr:-//}", named("a-b"), kVariableFileName), "a-b");
    EXPECT_EQ(EvaluateVariable("newfilename", named("a/b"), kVariableFileName), "a-b");
    EXPECT_EQ(EvaluateVariable("tab", named(""), kVariableFileName), "-");
}

TEST(VariableExpander, SpecialVariables) {
    VariableContext context = named("IMG_0001.CR3");
    context.sequence = 7;
    context.sequenceDigits = 3;
    context.ingestSequence = 42;
    context.ingestSequenceDigits = 5;
    context.index = 3;
    context.total = 12;
    context.page = 2;
    context.pageCount = 9;
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"{sequence}", "007"},
        {"{seqn}", "007"},
        {"{auto}", "007"},
        {"{ingestseq}", "00042"},
        {"{iseq}", "00042"},
        {"{index}/{totl}", "3/12"},
        {"{page} of {pgct}", "2 of 9"},
        {"a{tab}b{nl}", "a\tb\r\n"},
        {"{newfilenamebase}", "IMG_0001"},
        {"{newfilename}", "IMG_0001.CR3"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(expand(c.text, context), c.expected) << c.text;

    EXPECT_TRUE(ExpandVariables("{seqn}", context, 0).usedSequence);
    EXPECT_FALSE(ExpandVariables("{iseq}", context, 0).usedSequence);
    context.sequence = 1234;
    EXPECT_EQ(expand("{sequence}", context), "1234"); // digits are a minimum
    context.sequenceDigits = 1000000;                 // a silly width stays bounded
    EXPECT_EQ(expand("{sequence}", context).size(), 20u);
    context.sequenceDigits = 0;
    EXPECT_EQ(expand("{sequence}", context), "1234");

    for (const char* name : {"", "noext", ".hidden"}) {
        context.newFileName = name;
        EXPECT_EQ(expand("{newfilenamebase}", context), name);
    }

    struct Random {
        const char* name;
        int low, high;
        std::size_t width;
    };
    for (const Random& r :
         {Random{"rand3", 0, 999, 3}, Random{"rand4", 0, 9999, 4}, Random{"rand10", 1, 10, 2},
          Random{"rand100", 1, 100, 3}, Random{"rand1000", 1, 1000, 4}}) {
        std::set<std::string> seen;
        for (int i = 0; i < 200; ++i) {
            const std::string value = *EvaluateVariable(r.name, context, 0);
            ASSERT_EQ(value.size(), r.width) << r.name << " " << value;
            const int number = std::stoi(value);
            EXPECT_GE(number, r.low) << r.name;
            EXPECT_LE(number, r.high) << r.name;
            seen.insert(value);
        }
        EXPECT_GT(seen.size(), 5u) << r.name;
    }
}

TEST(VariableExpander, NameList) {
    const std::vector<VariableInfo>& list = VariableList();
    std::set<std::string> names;
    std::map<std::string, int> perGroup;
    bool unlistedSeen = false;
    for (const VariableInfo& info : list) {
        EXPECT_TRUE(names.insert(info.name).second) << "twice: " << info.name;
        EXPECT_EQ(FindVariable(info.name), &info) << info.name;
        EXPECT_NE(std::string(info.help), "") << info.name;
        if (info.listed) {
            EXPECT_FALSE(unlistedSeen) << info.name << " listed after the unlisted names";
            ++perGroup[info.group];
        } else {
            unlistedSeen = true;
        }
    }
    const std::map<std::string, int> expected = {
        {"IPTC and XMP fields", 82},
        {"Time", 56},
        {"ICC", 10},
        {"Special", 13},
        {"GPS", 20},
        {"Job, user and client", 31},
        {"Getty Images fields", 7},
        {"USA Military", 16},
        {"File, camera and image", 85},
        {"Nikon Picture Control", 13},
    };
    EXPECT_EQ(perGroup, expected);

    // Short forms find their variable; a long name wins over another variable's short form.
    const std::pair<const char*, const char*> shortForms[] = {
        {"seqn", "sequence"},
        {"auto", "sequence"},
        {"snum", "serialnum"},
        {"serial", "serialnum"},
        {"num*", "numstars"},
        {"r+j", "rawplusjpeg"},
        {"35mm", "lens35"},
        {"rank", "name"},
        {"name", "name"},
        {"capt", "caption"},
        {"colorval", "colorclassval"},
        {"ss", "shutter"},
        {"f", "aperture"},
    };
    for (const auto& [form, name] : shortForms) {
        const VariableInfo* info = FindVariable(form);
        ASSERT_NE(info, nullptr) << form;
        EXPECT_STREQ(info->name, name) << form;
    }
    for (const char* unlisted : {"newfilename", "newfilenamebase", "keyword", "photographer", "class",
                                 "contrast", "rankname", "badappd"}) {
        const VariableInfo* info = FindVariable(unlisted);
        ASSERT_NE(info, nullptr) << unlisted;
        EXPECT_FALSE(info->listed) << unlisted;
    }
    EXPECT_EQ(FindVariable("nosuchname"), nullptr);
    EXPECT_EQ(FindVariable(""), nullptr);
    EXPECT_EQ(EvaluateVariable("nosuchname", VariableContext{}, 0), std::nullopt);

    // Every name expands, whatever the context lacks: a missing source is an empty value, still a variable.
    const VariableContext empty;
    for (const VariableInfo& info : list) {
        const std::string token = std::string("{") + info.name + "}";
        EXPECT_TRUE(ExpandVariables(token, empty, 0).expanded) << info.name;
        EXPECT_TRUE(ExpandVariables(token, empty, kVariableFileName | kVariableSortable).expanded)
            << info.name;
    }
}

} // namespace
