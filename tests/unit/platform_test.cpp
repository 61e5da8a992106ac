// What the platform layer must give every thread and every reader of standard input.
#include <gtest/gtest.h>

#include <pthread.h>

#include <csignal>
#include <future>
#include <thread>

#include "app/command_reader.h"
#include "platform/dispatch.h"

namespace halvo {
namespace {

bool brokenPipeBlockedHere() {
    sigset_t current;
    pthread_sigmask(SIG_BLOCK, nullptr, &current);
    return sigismember(&current, SIGPIPE) == 1;
}

// libpulse's thread blocks every signal, and the sample queue is made from it: the queue's
// worker must still let SIGPIPE end the process when the parent closes stdout.
TEST(SerialQueue, AWorkerMadeFromAThreadThatBlocksSignalsStillGetsSigpipe) {
    std::promise<bool> blocked;
    std::thread maker([&] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        auto queue = std::make_shared<platform::SerialQueue>(
            "test.queue", platform::QualityOfService::userInteractive);
        queue->async([&] { blocked.set_value(brokenPipeBlockedHere()); });
    });
    maker.join();
    EXPECT_FALSE(blocked.get_future().get());
}

// One read that fills the read buffer can end in the middle of a command.
TEST(CommandAssembler, ALineCutByAFullReadWaitsForItsRest) {
    CommandAssembler assembler;
    EXPECT_EQ(assembler.take("STOP\nST", true), "STOP\n");
    EXPECT_EQ(assembler.take("A", true), "");
    EXPECT_EQ(assembler.take("RT\nQU", false), "START\nQU") << "a short read ends the text";
    EXPECT_EQ(assembler.take("IT", false), "IT");
}

TEST(CommandAssembler, ALineLongerThanAnyCommandDoesNotGrowWithoutBound) {
    CommandAssembler assembler;
    const std::string chunk(kReadBytes, 'x');
    std::size_t held = 0;
    for (std::size_t read = 0; read * kReadBytes <= kMaxLineBytes; ++read) {
        held = assembler.take(chunk, true).size();
    }
    EXPECT_GT(held, kMaxLineBytes) << "run as it stands once past the limit";
    EXPECT_EQ(assembler.take("STOP\n", false), "STOP\n");

    // Just short of the limit the line still waits; the read that ends it goes on with a command
    // it cuts in two, which waits for its rest however long the line before it was.
    for (std::size_t read = 0; (read + 1) * kReadBytes <= kMaxLineBytes; ++read) {
        EXPECT_EQ(assembler.take(chunk, true), "");
    }
    const std::string end = std::string(kReadBytes - 3, 'x') + "\nST";
    EXPECT_EQ(assembler.take(end, true).size(), kMaxLineBytes + kReadBytes - 2);
    EXPECT_EQ(assembler.take("OP\n", false), "STOP\n");
}

}  // namespace
}  // namespace halvo
