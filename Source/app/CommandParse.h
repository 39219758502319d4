#pragma once

#include <string>
#include <string_view>
#include <vector>

// The desktop program's own command line. Every parameter is kept in command-line order, flags
// (a leading '-', kept without it) and non-flags apart, and the usual shell command is derived from
// them: a first non-flag parameter is a file to open; "-p", "-pt", "-dde", "-register"/"-regserver" and
// "-unregister"/"-unregserver" (any case) ask to print, print to, answer DDE, register or unregister.
//
// HandleCommandLine() then turns that into the first action of the program:
//  - a raw command line containing "-autoplay:" takes the 13 characters starting there as the file
//    and becomes FileOpen (a newly inserted disk; the frame is told about it instead of opening it);
//  - FileOpen of a folder stays as it is; of a file, becomes its parent folder unless the file's name
//    contains ".IPT" or ".XMP" (any case); of a path that does not exist, becomes FileNothing;
//  - every other shell command becomes FileNothing.
// A relative path is made absolute first, so that it still means the same when handed to a running
// instance with another current folder. HandleCommandLine() may be called more than once.
class CCommandParse {
public:
    enum ShellCommand {
        FileNew,
        FileOpen,
        FilePrint,
        FilePrintTo,
        FileDDE,
        AppRegister,
        AppUnregister,
        FileNothing
    };

    static constexpr std::string_view kAutoplayFlag = "-autoplay:";
    static constexpr std::size_t kAutoplayLength = 13;

    // Parses argv[1..argc-1].
    void ParseCommandLine(int argc, const char* const* argv);
    void ParseCommandLine(const std::vector<std::string>& args);
    // One parameter: `param` without its switch character when `isFlag`.
    void ParseParam(std::string_view param, bool isFlag, bool isLast);

    void HandleCommandLine();

    ShellCommand shellCommand() const { return m_nShellCommand; }
    const std::string& fileName() const { return m_strFileName; }
    const std::vector<std::string>& flagParams() const { return m_flagParams; }
    const std::vector<std::string>& nonFlagParams() const { return m_nonFlagParams; }
    // The parameters joined by single spaces.
    const std::string& rawCommandLine() const { return m_rawCommandLine; }
    bool isAutoplay() const { return m_autoplay; }
    // The copy-data word of a hand-over to a running instance: 1 when a flag parameter contains "-f"
    // (as written, with its switch), else 0.
    unsigned copyDataWord() const;

private:
    ShellCommand m_nShellCommand = FileNew;
    std::string m_strFileName;
    std::vector<std::string> m_flagParams;
    std::vector<std::string> m_nonFlagParams;
    std::string m_rawCommandLine;
    int m_printToArgs = 0; // printer, driver and port still to come after "-pt FILE"
    bool m_autoplay = false;
};
