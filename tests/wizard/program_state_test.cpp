// A program that has ended and the fresh one that ResetForTest makes in the same process.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>

#include "wizard_fixture.h"

using namespace kelvor::wizard;
using namespace kelvor::wizard::test;

TEST_F(WizardTest, AFreshProgramRunsDialogsAgainAfterAnEarlierOneEnded) {
    auto loopRuns = [] {
        QEventLoop loop;
        QTimer::singleShot(0, &loop, [&loop] { loop.exit(7); });
        return loop.exec();
    };
    ASSERT_EQ(loopRuns(), 7);
    EndProgram();
    EXPECT_TRUE(ProgramEnded());
    ResetForTest();
    EXPECT_FALSE(ProgramEnded());
    // Every dialog of the new program (file-open dialog, message box) waits in an event loop
    // like this one; one that returns at once closes the dialog before the user sees it.
    EXPECT_EQ(loopRuns(), 7) << "the event loop returned at once: the ended program's request "
                                "to stop outlived ResetForTest";
}
