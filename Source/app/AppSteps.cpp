#include "app/AppSteps.h"

#include <algorithm>
#include <stdexcept>

std::size_t AppStepList::rank(std::string_view name) const {
    const auto it = std::find(m_order.begin(), m_order.end(), name);
    if (it == m_order.end())
        throw std::logic_error("AppStepList: unknown step \"" + std::string(name) + "\"");
    return static_cast<std::size_t>(it - m_order.begin());
}

void AppStepList::add(std::string_view name, std::function<bool()> run, const char* file, int line) {
    const std::size_t r = rank(name);
    const auto pos =
        std::find_if(m_steps.begin(), m_steps.end(), [&](const AppStep& s) { return rank(s.name) >= r; });
    if (pos != m_steps.end() && pos->name == name)
        throw std::logic_error("AppStepList: step \"" + std::string(name) + "\" added twice");
    // Keep the list's own spelling: it outlives any string the caller passed.
    m_steps.insert(pos, AppStep{m_order[r], std::move(run), file, line});
}

void AppStepList::extend(std::string_view name, std::function<bool()> run, const char* file, int line) {
    (void)rank(name); // refuses a name not in the list
    const auto pos =
        std::find_if(m_steps.begin(), m_steps.end(), [&](const AppStep& s) { return s.name == name; });
    if (pos == m_steps.end()) {
        add(name, std::move(run), file, line);
        return;
    }
    pos->run = [before = std::move(pos->run), part = std::move(run)] {
        const bool first = before();
        const bool second = part();
        return first && second;
    };
}
