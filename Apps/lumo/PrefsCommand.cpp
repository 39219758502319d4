#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "JsonValue.h"
#include "app/LumoPaths.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "support/TextUtils.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <vector>

namespace {

struct PrefsArguments {
    std::string key;
    std::string value;
    bool force = false; // set: store a key the program does not read
};

using Outcome = KLKeyValueDB::Outcome;

// What is said of a key the store does not hold: a key lumo reads has its default.
std::string absentKeyText(const std::string& key) {
    if (const PreferenceKey* known = findPreferenceKey(key))
        return "\"" + key + "\" is not set; lumo uses its default, " +
               jsonText(toJson(preferenceDefault(*known)));
    return "no preference named \"" + key + "\"";
}

int noSuchKey(const std::string& key) {
    std::fprintf(stderr, "lumo: %s\n", absentKeyText(key).c_str());
    return kExitSomeFailed;
}

// "lumo reads no preference named "X" (did you mean "Y"?)".
std::string unknownKeyText(const std::string& key) {
    std::vector<std::string> names;
    for (const PreferenceKey& known : knownPreferenceKeys())
        names.push_back(known.name);
    std::string text = "lumo reads no preference named \"" + key + "\"";
    if (const std::string nearest = lumo::nearestWord(key, names); !nearest.empty())
        text += " (did you mean \"" + nearest + "\"?)";
    return text;
}

// Text that opens like a JSON array, object or string but does not parse is a mistyped value, not
// words to keep: stored as a string it would come back as something else than the user meant.
bool looksLikeBrokenJson(const std::string& text) {
    const std::string_view trimmed = lumo::trim(text);
    if (trimmed.empty() || (trimmed[0] != '{' && trimmed[0] != '[' && trimmed[0] != '"'))
        return false;
    return nlohmann::json::parse(text, nullptr, false).is_discarded();
}

// The store answered with an error (locked by another process for too long, unreadable, a full disk).
int storeFailed(const char* action, const std::string& key) {
    std::fprintf(stderr, "lumo: could not %s \"%s\"; the log %s says why\n", action, key.c_str(),
                 LumoPaths::logFilePath().c_str());
    return kExitSomeFailed;
}

// Runs `body` on the open preferences inside a started application.
template <typename Body>
int withPreferences(const CommonOptions& common, Body body) {
    AppSession session(common, kPreferencesService);
    const std::shared_ptr<CPreferences> preferences = session.started() ? CPreferences::instance() : nullptr;
    if (!preferences) {
        std::fprintf(stderr, "lumo: %s\n",
                     session.error().empty() ? "the preferences are not open" : session.error().c_str());
        return kExitSomeFailed;
    }
    return body(*preferences);
}

int list(const CommonOptions& common) {
    return withPreferences(common, [&](CPreferences& preferences) -> int {
        const std::optional<std::vector<std::string>> keys = preferences.keys();
        if (!keys) {
            std::fprintf(stderr, "lumo: could not read the preferences; the log %s says why\n",
                         LumoPaths::logFilePath().c_str());
            return kExitSomeFailed;
        }
        nlohmann::json all = nlohmann::json::object();
        int status = kExitDone;
        for (const std::string& key : *keys) {
            CILA::VObject value;
            const Outcome outcome = preferences.lookupValue(key, value);
            if (outcome == Outcome::Done)
                all[key] = toJson(value);
            else if (outcome == Outcome::Failed)
                status = storeFailed("read", key);
        }
        if (common.json) {
            std::cout << jsonText(all, 2) << '\n';
        } else {
            for (const auto& [key, value] : all.items())
                std::cout << key << " = " << jsonText(value) << '\n';
        }
        return status;
    });
}

int get(const CommonOptions& common, const PrefsArguments& args) {
    return withPreferences(common, [&](CPreferences& preferences) -> int {
        CILA::VObject value;
        switch (preferences.lookupValue(args.key, value)) {
        case Outcome::Absent:
            return commandFailed(common, kResultNotPossible, absentKeyText(args.key));
        case Outcome::Failed:
            return commandFailed(common, kResultUnreadable,
                                 "could not read \"" + args.key + "\"; the log " + LumoPaths::logFilePath() +
                                     " says why");
        case Outcome::Done:
            break;
        }
        std::cout << jsonText(toJson(value)) << '\n';
        return kExitDone;
    });
}

int set(const CommonOptions& common, const PrefsArguments& args) {
    // Preferences are text: bytes that are not UTF-8 would be stored, then break every listing.
    for (const std::string* text : {&args.key, &args.value})
        if (!lumo::isValidUtf8(*text)) {
            std::fprintf(stderr, "lumo: the preference's %s is not UTF-8 text\n",
                         text == &args.key ? "name" : "value");
            return kExitBadUsage;
        }
    if (looksLikeBrokenJson(args.value)) {
        std::fprintf(stderr,
                     "lumo: the value %s starts like JSON but is not valid JSON; give text as a JSON string "
                     "(\"...\")\n",
                     args.value.c_str());
        return kExitBadUsage;
    }
    CILA::VObject value;
    try {
        value = parseValueArgument(args.value);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumo: %s\n", e.what());
        return kExitBadUsage;
    }
    if (const PreferenceKey* known = findPreferenceKey(args.key)) {
        if (const std::string problem = preferenceValueProblem(*known, value); !problem.empty()) {
            std::fprintf(stderr, "lumo: %s %s, not %s\n", args.key.c_str(), problem.c_str(),
                         args.value.c_str());
            return kExitBadUsage;
        }
    } else if (!args.force) {
        std::fprintf(stderr,
                     "lumo: %s; lumo prefs keys lists the ones it reads, and --force stores it anyway\n",
                     unknownKeyText(args.key).c_str());
        return kExitBadUsage;
    } else {
        std::fprintf(stderr, "lumo: warning: %s; stored anyway (--force)\n",
                     unknownKeyText(args.key).c_str());
    }
    return withPreferences(common, [&](CPreferences& preferences) -> int {
        if (!preferences.setValue(args.key, value) || !preferences.save())
            return storeFailed("store", args.key);
        return kExitDone;
    });
}

int remove(const CommonOptions& common, const PrefsArguments& args) {
    return withPreferences(common, [&](CPreferences& preferences) -> int {
        switch (preferences.remove(args.key)) {
        case Outcome::Done:
            return preferences.save() ? kExitDone : storeFailed("delete", args.key);
        case Outcome::Absent:
            preferences.save(); // nothing changed: ends the transaction the delete began
            return noSuchKey(args.key);
        case Outcome::Failed:
            break;
        }
        return storeFailed("delete", args.key);
    });
}

// The preferences the program reads; needs no store.
int listKeys(const CommonOptions& common) {
    const std::vector<PreferenceKey>& keys = knownPreferenceKeys();
    if (common.json) {
        nlohmann::ordered_json all = nlohmann::ordered_json::array();
        for (const PreferenceKey& key : keys) {
            nlohmann::ordered_json entry = {{"name", key.name},
                                            {"type", preferenceTypeName(key.type)},
                                            {"default", toJson(preferenceDefault(key))}};
            if (key.type == PreferenceType::Integer) {
                entry["minimum"] = key.minimum;
                entry["maximum"] = key.maximum;
            }
            entry["meaning"] = key.meaning;
            all.push_back(std::move(entry));
        }
        std::cout << jsonText(all, 2) << '\n';
        return kExitDone;
    }
    std::size_t nameWidth = 0, defaultWidth = 0;
    for (const PreferenceKey& key : keys) {
        nameWidth = std::max(nameWidth, key.name.size());
        defaultWidth = std::max(defaultWidth, jsonText(toJson(preferenceDefault(key))).size());
    }
    for (const PreferenceKey& key : keys)
        std::printf("%-*s  %-7s  %-*s  %s\n", static_cast<int>(nameWidth), key.name.c_str(),
                    preferenceTypeName(key.type), static_cast<int>(defaultWidth),
                    jsonText(toJson(preferenceDefault(key))).c_str(), key.meaning.c_str());
    return kExitDone;
}

const char* stateName(KLKeyValueDB::Integrity integrity) {
    switch (integrity) {
    case KLKeyValueDB::Integrity::Sound:
        return "sound";
    case KLKeyValueDB::Integrity::Damaged:
        return "damaged";
    case KLKeyValueDB::Integrity::Unchecked:
        break;
    }
    return "unchecked";
}

// The state of the store ("unchecked": busy or unreadable, so no verdict), and the last time a damaged
// store was replaced, which happens at start-up.
int check(const CommonOptions& common) {
    return withPreferences(common, [&](CPreferences& preferences) -> int {
        const KLKeyValueDB::Integrity integrity = preferences.integrity();
        const bool sound = integrity == KLKeyValueDB::Integrity::Sound;
        const auto restored = preferences.lastRestoration();
        if (common.json) {
            nlohmann::json out{
                {"path", preferences.path()}, {"sound", sound}, {"state", stateName(integrity)}};
            if (restored)
                out["restored"] = {
                    {"time", restored->time},
                    {"from", restored->from.empty() ? nlohmann::json() : nlohmann::json(restored->from)},
                    {"damagedCopy", restored->damagedCopy}};
            std::cout << jsonText(out, 2) << '\n';
            return sound ? kExitDone : kExitSomeFailed;
        }
        std::printf("%s: %s\n", preferences.path().c_str(),
                    integrity == KLKeyValueDB::Integrity::Unchecked ? "not checked (busy or unreadable)"
                                                                    : stateName(integrity));
        if (restored)
            std::printf(
                "last restored %s from %s; the damaged store was kept as %s\n", restored->time.c_str(),
                restored->from.empty() ? "nothing (no sound copy: an empty store)" : restored->from.c_str(),
                restored->damagedCopy.c_str());
        return sound ? kExitDone : kExitSomeFailed;
    });
}

} // namespace

void addPrefsCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    static PrefsArguments args;
    CLI::App* prefs = lumo.add_subcommand("prefs", "Read and change the preferences");
    prefs->require_subcommand(1);

    prefs->add_subcommand("list", "Show every preference and its value (as JSON)")->callback([&] {
        action = [&common] { return list(common); };
    });
    CLI::App* getCommand = prefs->add_subcommand("get", "Show one preference's value (as JSON)");
    getCommand->add_option("KEY", args.key, "The preference's name")->required()->type_name("");
    getCommand->callback([&] { action = [&common] { return get(common, args); }; });

    CLI::App* setCommand = prefs->add_subcommand(
        "set", "Set a preference: VALUE is JSON (null, true, 12, 1.5, \"text\", [..], {..}) or a plain word; "
               "a preference lumo reads takes only a value of its type");
    setCommand->add_option("KEY", args.key, "The preference's name")->required()->type_name("");
    setCommand->add_option("VALUE", args.value, "The new value")->required()->type_name("");
    setCommand->add_flag("--force", args.force,
                         "Store a preference that lumo does not read (with a warning)");
    setCommand->callback([&] { action = [&common] { return set(common, args); }; });

    CLI::App* deleteCommand = prefs->add_subcommand("delete", "Remove a preference");
    deleteCommand->add_option("KEY", args.key, "The preference's name")->required()->type_name("");
    deleteCommand->callback([&] { action = [&common] { return remove(common, args); }; });

    prefs->add_subcommand("keys", "Show the preferences lumo reads: type, default and meaning")
        ->callback([&] { action = [&common] { return listKeys(common); }; });
    prefs->add_subcommand("check", "Check the preferences store for damage")->callback([&] {
        action = [&common] { return check(common); };
    });
}
