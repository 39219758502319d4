#include "AppSession.h"
#include "Commands.h"
#include "JsonValue.h"
#include "app/LumoPaths.h"
#include "db/Preferences.h"

#include <cstdio>
#include <exception>
#include <iostream>

namespace {

struct PrefsArguments {
    std::string key;
    std::string value;
};

int noSuchKey(const std::string& key) {
    std::fprintf(stderr, "lumo: no preference named \"%s\"\n", key.c_str());
    return kExitSomeFailed;
}

// Runs `body` on the open preferences inside a started application.
template <typename Body>
int withPreferences(const CommonOptions& common, Body body) {
    AppSession session(common, kPreferencesService);
    CPreferences* preferences = session.started() ? CPreferences::instance() : nullptr;
    if (!preferences) {
        std::fprintf(stderr, "lumo: %s\n",
                     session.error().empty() ? "the preferences are not open" : session.error().c_str());
        return kExitSomeFailed;
    }
    return body(*preferences);
}

int list(const CommonOptions& common) {
    return withPreferences(common, [&](CPreferences& preferences) -> int {
        nlohmann::json all = nlohmann::json::object();
        for (const std::string& key : preferences.keys()) {
            CILA::VObject value;
            if (preferences.getValue(key, value))
                all[key] = toJson(value);
        }
        if (common.json) {
            std::cout << all.dump(2) << '\n';
        } else {
            for (const auto& [key, value] : all.items())
                std::cout << key << " = " << value.dump() << '\n';
        }
        return kExitDone;
    });
}

int get(const CommonOptions& common, const PrefsArguments& args) {
    return withPreferences(common, [&](CPreferences& preferences) -> int {
        CILA::VObject value;
        if (!preferences.getValue(args.key, value))
            return noSuchKey(args.key);
        std::cout << toJson(value).dump() << '\n';
        return kExitDone;
    });
}

int set(const CommonOptions& common, const PrefsArguments& args) {
    CILA::VObject value;
    try {
        value = parseValueArgument(args.value);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumo: %s\n", e.what());
        return kExitBadUsage;
    }
    return withPreferences(common, [&](CPreferences& preferences) -> int {
        if (!preferences.setValue(args.key, value) || !preferences.save()) {
            std::fprintf(stderr, "lumo: could not store \"%s\"; the log %s says why\n", args.key.c_str(),
                         LumoPaths::logFilePath().c_str());
            return kExitSomeFailed;
        }
        return kExitDone;
    });
}

int remove(const CommonOptions& common, const PrefsArguments& args) {
    return withPreferences(common, [&](CPreferences& preferences) -> int {
        const bool removed = preferences.remove(args.key);
        preferences.save();
        return removed ? kExitDone : noSuchKey(args.key);
    });
}

int check(const CommonOptions& common) {
    return withPreferences(common, [&](CPreferences& preferences) -> int {
        const bool sound = preferences.integrityCheck();
        if (common.json)
            std::cout << nlohmann::json{{"path", preferences.path()}, {"sound", sound}}.dump(2) << '\n';
        else
            std::printf("%s: %s\n", preferences.path().c_str(), sound ? "sound" : "damaged");
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
    getCommand->add_option("KEY", args.key, "The preference's name")->required();
    getCommand->callback([&] { action = [&common] { return get(common, args); }; });

    CLI::App* setCommand = prefs->add_subcommand(
        "set", "Set a preference: VALUE is JSON (null, true, 12, 1.5, \"text\", [..], {..}) or a plain word");
    setCommand->add_option("KEY", args.key, "The preference's name")->required();
    setCommand->add_option("VALUE", args.value, "The new value")->required();
    setCommand->callback([&] { action = [&common] { return set(common, args); }; });

    CLI::App* deleteCommand = prefs->add_subcommand("delete", "Remove a preference");
    deleteCommand->add_option("KEY", args.key, "The preference's name")->required();
    deleteCommand->callback([&] { action = [&common] { return remove(common, args); }; });

    prefs->add_subcommand("check", "Check the preferences store for damage")->callback([&] {
        action = [&common] { return check(common); };
    });
}
