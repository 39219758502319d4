#include "app/DebugFlags.h"

#include "app/LumoPaths.h"
#include "support/FileIO.h"
#include "support/TextUtils.h"

namespace {

// A debug-flags file is a handful of lines; anything past this is not one.
constexpr std::size_t kMaxDebugFileSize = 1 << 20;

bool isOnValue(std::string_view value) {
    return lumo::iequals(value, "ON") || lumo::iequals(value, "YES") || lumo::iequals(value, "TRUE") ||
           value == "1";
}

} // namespace

DebugFlagSettings DebugFlagSettings::parse(std::string_view text) {
    DebugFlagSettings out;
    for (std::string_view line : lumo::splitLines(text)) {
        const auto tokens = lumo::splitWhitespace(lumo::stripByteOrderMark(line));
        if (tokens.size() < 2 || tokens[0].starts_with("//"))
            continue;
        const std::string name(lumo::trim(tokens[0]));
        const std::string_view value = lumo::trim(tokens[1]);
        if (isOnValue(value)) {
            out.on.insert(name);
            out.values.erase(name);
        } else {
            out.on.erase(name);
            out.values[name] = std::string(value);
        }
    }
    return out;
}

DebugFlags::DebugFlags(PathSource pathSource) : m_pathSource(std::move(pathSource)) {}

DebugFlags& DebugFlags::instance() {
    static DebugFlags flags([] { return LumoPaths::debugFlagsFilePath(); });
    return flags;
}

void DebugFlags::loadIfNeeded() {
    if (m_loaded)
        return;
    m_settings = {};
    const std::string path = m_pathSource ? m_pathSource() : std::string();
    if (path.empty())
        return; // the settings folder is not known yet: ask again next time
    m_loaded = true;
    std::string text;
    if (lumo::readFile(path, text, kMaxDebugFileSize) != 0)
        return;
    m_settings = DebugFlagSettings::parse(text);
}

bool DebugFlags::isOn(std::string_view name) {
    std::lock_guard lock(m_mutex);
    loadIfNeeded();
    return m_settings.on.find(name) != m_settings.on.end();
}

std::string DebugFlags::value(std::string_view name) {
    std::lock_guard lock(m_mutex);
    loadIfNeeded();
    const auto it = m_settings.values.find(name);
    return it == m_settings.values.end() ? std::string() : it->second;
}

void DebugFlags::reload() {
    std::lock_guard lock(m_mutex);
    m_loaded = false;
}

DebugFlagSettings DebugFlags::settings() {
    std::lock_guard lock(m_mutex);
    loadIfNeeded();
    return m_settings;
}
