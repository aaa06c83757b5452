// The acquisition thread against the program's threads: results released on other threads, stop,
// restart and destruction while results are out, and cameras grabbing side by side. Written for
// ThreadSanitizer, which runs this suite in CI; without it the tests still check the counts.
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "EmulationFixture.h"

namespace Tarnwell::test {
namespace {

using Orvel::CGrabResultPtr;

// Results handed from the grabbing thread to a worker that reads and releases them.
class Releaser {
public:
    Releaser() : worker_([this] { Run(); }) {}
    ~Releaser() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        wake_.notify_all();
        worker_.join();
    }

    void Hand(const CGrabResultPtr& result) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(result);
        }
        wake_.notify_one();
    }

    // Results whose buffer stamp did not name their image number.
    int Mismatches() {
        std::lock_guard lock(mutex_);
        return mismatches_;
    }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        while (true) {
            wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
            if (queue_.empty()) {
                return;
            }
            CGrabResultPtr result = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            std::uint64_t stamp = 0;
            std::memcpy(&stamp, result->GetBuffer(), sizeof stamp);
            const bool matches = stamp == result->GetImageNumber();
            result.Release();
            lock.lock();
            mismatches_ += matches ? 0 : 1;
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<CGrabResultPtr> queue_;
    bool closing_ = false;
    int mismatches_ = 0;
    std::thread worker_;
};

class Concurrency : public EmulationTest {
protected:
    static void MakeSmall(Orvel::CVelkorUniversalInstantCamera& camera, double rate) {
        camera.ComponentSelector.SetValue("Disparity");
        camera.ComponentEnable.SetValue(false);
        camera.BinningHorizontal.SetValue(4);
        camera.BinningVertical.SetValue(4);
        camera.AcquisitionFrameRate.SetValue(rate);
    }

    Orvel::CVelkorUniversalInstantCamera& Small(double rate) {
        auto& camera = Camera();
        MakeSmall(camera, rate);
        return camera;
    }
};

// Makes sure a result given back on another thread returns to the pool intact while the
// acquisition thread fills the others. Example failure: a pool's free list changed without its
// lock, so two results shared a buffer.
TEST_F(Concurrency, ResultsReleasedOnAnotherThreadGoBackToThePool) {
    Start(FastCamera("\"bufferCount\": 4"));
    auto& camera = Small(5000);
    Releaser releaser;
    camera.StartGrabbing();
    CGrabResultPtr result;
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
        releaser.Hand(result);
    }
    camera.StopGrabbing();
    result.Release();
    EXPECT_EQ(releaser.Mismatches(), 0);
    EXPECT_GE(Counter("Statistic_Total_Buffer_Count"), 300);
}

// Stopping, starting again and even ending the SDK while another thread still holds results:
// the results stay valid until that thread lets them go, and the last one frees the pool.
TEST_F(Concurrency, StopRestartAndDestroyWhileResultsAreOut) {
    Start(FastCamera());
    auto& camera = Small(5000);
    {
        Releaser releaser;
        CGrabResultPtr result;
        for (int session = 0; session < 20; ++session) {
            camera.StartGrabbing();
            for (int i = 0; i < 3; ++i) {
                ASSERT_TRUE(camera.RetrieveResult(5000, result));
                releaser.Hand(result);
            }
            camera.StopGrabbing();
        }
        camera.StartGrabbing();
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
        releaser.Hand(result);
        Stop();  // camera, interface and SDK go while the worker may still hold results
        // Queued results were delivered and numbered too: at least the ones retrieved.
        EXPECT_GE(result->GetImageNumber(), 61u);
        result.Release();
        EXPECT_EQ(releaser.Mismatches(), 0);
    }
}

// The acquisition thread is told to stop at every point of its schedule: just started, between
// frames, with results queued, with the pool dry.
TEST_F(Concurrency, StopAtAnyMomentOfTheSchedule) {
    Start(FastCamera("\"bufferCount\": 2"));
    auto& camera = Small(20000);
    CGrabResultPtr result;
    for (int cycle = 0; cycle < 100; ++cycle) {
        camera.StartGrabbing();
        for (int i = 0; i < cycle % 4; ++i) {
            ASSERT_TRUE(camera.RetrieveResult(5000, result));
        }
        if (cycle % 3 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        camera.StopGrabbing();
    }
    result.Release();
    EXPECT_EQ(Counter("Statistic_Failed_Buffer_Count"), 0);
}

// Two cameras, each grabbed and destroyed on its own thread, share the SDK and its transport
// layer: each interface is used by one thread at a time.
TEST_F(Concurrency, CamerasGrabSideBySide) {
    Start(R"({"cameras": [{"maxFrameRate": 100000, "linkBandwidth": 1e12, "processingScale": 0},
                          {"maxFrameRate": 100000, "linkBandwidth": 1e12, "processingScale": 0}]})");
    const Orvel::DeviceInfoList devices = Devices();
    ASSERT_EQ(devices.size(), 2u);
    Orvel::CInterfaceInfo info;
    info.SetDeviceClass(kDeviceClass);
    std::vector<std::unique_ptr<Orvel::CInstantInterface>> interfaces;
    std::vector<std::thread> threads;
    std::vector<int> retrieved(devices.size(), 0);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        interfaces.push_back(std::make_unique<Orvel::CInstantInterface>(info));
        auto* device = interfaces.back()->CreateDevice(devices[i]);
        threads.emplace_back([device, &count = retrieved[i]] {
            Orvel::CVelkorUniversalInstantCamera camera(device, Orvel::Cleanup_Delete);
            camera.Open();
            MakeSmall(camera, 5000);
            camera.StartGrabbing();
            CGrabResultPtr result;
            for (int n = 0; n < 200 && camera.RetrieveResult(5000, result); ++n) {
                ++count;
            }
            // Destroyed while grabbing, holding a result.
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(retrieved, (std::vector<int>{200, 200}));
}

}  // namespace
}  // namespace Tarnwell::test
