#pragma once

// A test with the image engine and the metadata layer started over the test run's folders (undo data
// and caches go there), and stopped after it with any injected file faults cleared. Header only: the
// test binaries that use it link the engine and the metadata layer themselves.

#include "NRF/NRF.h"
#include "app/LumoPaths.h"
#include "metadata/PhotoMetadata.h"
#include "support/FileIO.h"

#include <gtest/gtest.h>

namespace lumo::test {

class PhotoEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        LumoPaths::initialise(LocationInputs{});
        ASSERT_EQ(NRFInit(""), kNRFErrNone);
        ASSERT_EQ(IPTCMetadataInitialize(), kNRFErrNone);
    }
    void TearDown() override {
        lumo::clearFileFaults();
        NRFTerminate();
    }
};

} // namespace lumo::test
