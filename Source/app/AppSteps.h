#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// One step of start-up or shutdown: its name (as logged), what it does, and where in the source it
// was added (the position its log line names).
struct AppStep {
    std::string_view name;
    std::function<bool()> run; // false: the step failed (start-up stops; it has said why)
    const char* file;
    int line;
};

// The steps of start-up or shutdown, kept in the order of a fixed list of step names whatever the
// order they are added in; names missing from the list are refused.
class AppStepList {
public:
    explicit AppStepList(std::span<const std::string_view> order) : m_order(order) {}

    // Throws std::logic_error for a name that is not in the list or is there already.
    // The position defaults to the caller's.
    void add(std::string_view name, std::function<bool()> run, const char* file = __builtin_FILE(),
             int line = __builtin_LINE());
    // Adds a part to a step that several services share ("Cleanup leftovers"): it runs after the parts
    // added before it, and the step fails when a part does (each part still runs). Adds the step when
    // it is not there yet.
    void extend(std::string_view name, std::function<bool()> run, const char* file = __builtin_FILE(),
                int line = __builtin_LINE());
    const std::vector<AppStep>& steps() const { return m_steps; }

private:
    std::size_t rank(std::string_view name) const;

    std::span<const std::string_view> m_order;
    std::vector<AppStep> m_steps;
};
