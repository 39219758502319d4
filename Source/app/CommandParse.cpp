#include "app/CommandParse.h"

#include "app/LumoLog.h"
#include "support/TextUtils.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool containsNoCase(std::string_view text, std::string_view part) {
    const auto it = std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
    });
    return it != text.end();
}

} // namespace

void CCommandParse::ParseCommandLine(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    ParseCommandLine(args);
}

void CCommandParse::ParseCommandLine(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!m_rawCommandLine.empty())
            m_rawCommandLine += ' ';
        m_rawCommandLine += arg;
        const bool isFlag = arg.size() > 1 && arg[0] == '-';
        ParseParam(isFlag ? std::string_view(arg).substr(1) : std::string_view(arg), isFlag,
                   i + 1 == args.size());
    }
}

void CCommandParse::ParseParam(std::string_view param, bool isFlag, bool isLast) {
    if (isFlag) {
        m_flagParams.emplace_back(param);
        if (lumo::iequals(param, "pt")) {
            m_nShellCommand = FilePrintTo;
            m_printToArgs = 3;
        } else if (lumo::iequals(param, "p")) {
            m_nShellCommand = FilePrint;
        } else if (lumo::iequals(param, "dde")) {
            m_nShellCommand = FileDDE;
        } else if (lumo::iequals(param, "register") || lumo::iequals(param, "regserver")) {
            m_nShellCommand = AppRegister;
        } else if (lumo::iequals(param, "unregister") || lumo::iequals(param, "unregserver")) {
            m_nShellCommand = AppUnregister;
        }
    } else {
        m_nonFlagParams.emplace_back(param);
        if (m_strFileName.empty())
            m_strFileName = param;
        else if (m_nShellCommand == FilePrintTo && m_printToArgs > 0)
            --m_printToArgs; // printer, driver, port: not used here
    }
    if (isLast && m_nShellCommand == FileNew && !m_strFileName.empty())
        m_nShellCommand = FileOpen;
}

void CCommandParse::HandleCommandLine() {
    const std::size_t autoplay = m_rawCommandLine.find(kAutoplayFlag);
    if (autoplay != std::string::npos) {
        m_strFileName = m_rawCommandLine.substr(autoplay, kAutoplayLength);
        m_nShellCommand = FileOpen;
        m_autoplay = true;
        return;
    }
    if (m_nShellCommand != FileOpen || m_strFileName.empty()) {
        m_nShellCommand = FileNothing;
        return;
    }
    try {
        fs::path path(m_strFileName);
        if (path.is_relative())
            path = fs::absolute(path);
        std::error_code ec;
        const fs::file_status status = fs::status(path, ec);
        if (fs::is_directory(status)) {
            m_strFileName = path.string();
        } else if (fs::exists(status)) {
            const std::string name = path.filename().string();
            if (containsNoCase(name, ".IPT") || containsNoCase(name, ".XMP"))
                m_strFileName = path.string();
            else
                m_strFileName = path.parent_path().string();
        } else {
            m_nShellCommand = FileNothing;
        }
    } catch (const std::exception& e) {
        LUMO_LOG("CCommandParse::HandleCommandLine: %s: %s", m_strFileName.c_str(), e.what());
        m_nShellCommand = FileNothing;
    }
}

unsigned CCommandParse::copyDataWord() const {
    for (const std::string& flag : m_flagParams)
        if (("-" + flag).find("-f") != std::string::npos)
            return 1;
    return 0;
}
