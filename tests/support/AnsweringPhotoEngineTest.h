#pragma once

// A photo engine test whose background operations run with this thread as the user-interface thread
// and whose questions are answered with `m_answer` and kept, in the order asked, in `m_asked`. Header
// only: the test binaries that use it link the background operations themselves.

#include "app/MessageBox.h"
#include "app/UIThread.h"
#include "support/PhotoEngineTest.h"

#include <string>
#include <string_view>
#include <vector>

namespace lumo::test {

class AnsweringPhotoEngineTest : public PhotoEngineTest {
protected:
    static void SetUpTestSuite() { setUIThread(); }
    void SetUp() override {
        PhotoEngineTest::SetUp();
        setMessageBoxHandler([this](std::string_view text, MessageBoxButtons) {
            m_asked.emplace_back(text);
            return m_answer;
        });
    }
    void TearDown() override {
        setMessageBoxHandler(nullptr);
        PhotoEngineTest::TearDown();
    }

    std::vector<std::string> m_asked;
    MessageBoxAnswer m_answer = MessageBoxAnswer::Yes;
};

} // namespace lumo::test
