#include "framework/messenger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Stands in for a per-frame record of the dense stages.
struct DepthFrame {
  int id = 0;
};
using DepthFuture = std::shared_future<std::shared_ptr<DepthFrame>>;

struct DenseFrameReceiver {
  void OnDenseFrame(const DepthFuture& result) {
    thread = std::this_thread::get_id();
    id = result.get()->id;
  }
  std::thread::id thread;
  int id = -1;
};

DepthFuture readyFrame(int id) {
  std::promise<std::shared_ptr<DepthFrame>> promise;
  promise.set_value(std::make_shared<DepthFrame>(DepthFrame{id}));
  return promise.get_future().share();
}

// Thread-safe list of what a callback saw.
struct Journal {
  void add(int v) {
    std::lock_guard<std::mutex> lock(mutex);
    values.push_back(v);
  }
  std::vector<int> get() {
    std::lock_guard<std::mutex> lock(mutex);
    return values;
  }
  std::mutex mutex;
  std::vector<int> values;
};

sv::VarFunction intCallback(Journal& journal) {
  return sv::VarFunction([&journal](int v) { journal.add(v); });
}

TEST(Messenger, BoundMemberReceivesFutureInPublishingThreadBeforePublishReturns) {
  fw::Messenger messenger;
  DenseFrameReceiver receiver;
  fw::Subscriber sub =
      messenger.subscribe("sbt.dense_frame", 0, &DenseFrameReceiver::OnDenseFrame, &receiver);
  ASSERT_FALSE(sub.empty());

  messenger.publish("sbt.dense_frame", readyFrame(7));
  EXPECT_EQ(receiver.id, 7);
  EXPECT_EQ(receiver.thread, std::this_thread::get_id());

  fw::Publisher pub = messenger.advertise<DepthFuture>("sbt.dense_frame");
  pub.publish(sv::Var(readyFrame(8)));
  EXPECT_EQ(receiver.id, 8);
}

TEST(Messenger, WrongPayloadThrowsInPublisherAfterEveryoneElseGotIt) {
  fw::Messenger messenger;
  DenseFrameReceiver typed_first, typed_last;
  Journal journal;
  std::vector<fw::Subscriber> subs;
  subs.push_back(
      messenger.subscribe("sbt.dense_frame", 0, &DenseFrameReceiver::OnDenseFrame, &typed_first));
  for (int i = 0; i < 4; ++i)
    subs.push_back(messenger.subscribe("sbt.dense_frame", 0, intCallback(journal)));
  subs.push_back(
      messenger.subscribe("sbt.dense_frame", 0, &DenseFrameReceiver::OnDenseFrame, &typed_last));

  fw::Publisher pub = messenger.advertise<DepthFuture>("sbt.dense_frame");
  EXPECT_THROW(pub.publish(sv::Var(3)), sv::VarException);
  EXPECT_EQ(journal.get(), (std::vector<int>{3, 3, 3, 3}));
  EXPECT_THROW(messenger.publish("sbt.dense_frame", 4), sv::VarException);
  EXPECT_EQ(journal.get().size(), 8u);

  // A callback's own exception travels the same way.
  fw::Subscriber thrower = messenger.subscribe(
      "plain", 0, sv::VarFunction([](int) { throw std::runtime_error("callback failed"); }));
  fw::Subscriber counter = messenger.subscribe("plain", 0, intCallback(journal));
  try {
    messenger.publish("plain", 5);
    FAIL() << "expected the callback's exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "callback failed");
  }
  EXPECT_EQ(journal.get().back(), 5);
}

TEST(Messenger, SubscriptionLivesFromSubscribeToItsLastUserHandle) {
  fw::Messenger messenger;
  Journal journal;
  messenger.publish("t", 0);  // no subscriber yet: dropped, not kept for later ones
  fw::Subscriber first = messenger.subscribe("t", 0, intCallback(journal));
  fw::Subscriber copy = first;
  first = fw::Subscriber();
  messenger.publish("t", 1);  // the copy keeps it alive
  copy = fw::Subscriber();
  messenger.publish("t", 2);
  EXPECT_EQ(journal.get(), (std::vector<int>{1}));

  fw::Subscriber explicit_end = messenger.subscribe("t", 0, intCallback(journal));
  fw::Subscriber other_copy = explicit_end;
  explicit_end.shutdown();
  EXPECT_TRUE(explicit_end.empty());
  messenger.publish("t", 3);  // a shut-down subscription stays ended for every copy
  EXPECT_EQ(journal.get(), (std::vector<int>{1}));

  fw::Publisher pub = messenger.advertise<int>("t");
  fw::Subscriber live = messenger.subscribe("t", 0, intCallback(journal));
  pub.shutdown();
  pub.publish(sv::Var(4));  // an ended publisher does nothing
  EXPECT_EQ(journal.get(), (std::vector<int>{1}));
}

TEST(Messenger, AnnouncesNewPublishersAndSubscribersButNotEmptyTopics) {
  fw::Messenger messenger;
  std::vector<fw::Subscriber> announced_subs;
  std::vector<fw::Publisher> announced_pubs;
  fw::Subscriber sub_watch = messenger.subscribe(
      "messenger/newsub", 0,
      sv::VarFunction([&](const fw::Subscriber& s) { announced_subs.push_back(s); }));
  fw::Subscriber pub_watch = messenger.subscribe(
      "messenger/newpub", 0,
      sv::VarFunction([&](const fw::Publisher& p) { announced_pubs.push_back(p); }));
  // A watcher of "messenger/newsub" is registered before it is announced, so it sees itself.
  ASSERT_EQ(announced_subs.size(), 2u);
  EXPECT_EQ(announced_subs[0], sub_watch);
  EXPECT_EQ(announced_subs[1], pub_watch);

  Journal journal;
  fw::Subscriber sub = messenger.subscribe("t", 0, intCallback(journal));
  fw::Publisher pub = messenger.advertise<int>("t");
  ASSERT_EQ(announced_subs.size(), 3u);
  EXPECT_EQ(announced_subs[2], sub);
  ASSERT_EQ(announced_pubs.size(), 1u);
  EXPECT_EQ(announced_pubs[0], pub);

  EXPECT_TRUE(messenger.subscribe("", 0, intCallback(journal)).empty());
  EXPECT_TRUE(messenger.advertise<int>("").empty());
  EXPECT_EQ(announced_subs.size(), 3u);
  EXPECT_EQ(announced_pubs.size(), 1u);
  announced_subs.clear();
  announced_pubs.clear();
}

TEST(Messenger, CopiesAndAdoptingModulesShareTopics) {
  fw::Messenger host;
  fw::Messenger copy = host;
  Journal journal;
  fw::Subscriber sub = copy.subscribe("shared", 0, intCallback(journal));
  host.publish("shared", 1);
  EXPECT_EQ(journal.get(), (std::vector<int>{1}));

  const fw::Messenger saved_messenger = fw::Messenger::instance();
  const std::shared_ptr<fw::LogSinkSet> saved_sinks = fw::logSinks();
  auto host_sinks = std::make_shared<fw::LogSinkSet>();
  fw::shareHostServices(&host, host_sinks);
  EXPECT_EQ(fw::logSinks(), host_sinks);
  fw::Messenger::instance().publish("shared", 2);
  fw::shareHostServices(&fw::Messenger::instance(), fw::logSinks());  // already shared: no change
  EXPECT_EQ(fw::logSinks(), host_sinks);
  EXPECT_EQ(journal.get(), (std::vector<int>{1, 2}));

  fw::Messenger::instance() = saved_messenger;
  fw::logSinks() = saved_sinks;
}

// Holds the first delivery until released, then records every message.
struct SlowCallback {
  std::promise<void> first_entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> first{true};
  Journal journal;

  sv::VarFunction function() {
    return sv::VarFunction([this](int v) {
      if (first.exchange(false)) {
        first_entered.set_value();
        released.wait();
      }
      journal.add(v);
    });
  }
};

TEST(Messenger, BoundedSubscriberQueueDropsTheOldestWaitingMessage) {
  fw::Messenger messenger;
  SlowCallback slow;
  fw::Subscriber sub = messenger.subscribe("q", 1, slow.function());
  messenger.publish("q", 1);
  slow.first_entered.get_future().wait();
  EXPECT_NE(std::this_thread::get_id(), std::thread::id());
  messenger.publish("q", 2);
  messenger.publish("q", 3);  // 2 is still waiting: it is dropped for 3
  slow.release.set_value();
  sub.shutdown();  // waits for the delivery in flight; queued ones still run before the state goes
  sub = fw::Subscriber();
  const std::vector<int> seen = slow.journal.get();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), 1);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 2), 0);
}

TEST(Messenger, BoundedPublisherQueueDeliversOnItsWorker) {
  fw::Messenger messenger;
  SlowCallback slow;
  std::promise<std::thread::id> last_thread;
  fw::Subscriber sub = messenger.subscribe("q", 0, slow.function());
  fw::Subscriber marker = messenger.subscribe("done", 0, sv::VarFunction([&last_thread](int) {
                                                last_thread.set_value(std::this_thread::get_id());
                                              }));
  fw::Publisher pub = messenger.advertise<int>("q", 1);
  fw::Publisher done = messenger.advertise<int>("done", 1);
  pub.publish(sv::Var(1));
  slow.first_entered.get_future().wait();
  pub.publish(sv::Var(2));
  pub.publish(sv::Var(3));
  slow.release.set_value();
  pub = fw::Publisher();  // drains the publisher's queue
  done.publish(sv::Var(0));
  EXPECT_NE(last_thread.get_future().get(), std::this_thread::get_id());
  EXPECT_EQ(slow.journal.get(), (std::vector<int>{1, 3}));
}

// Ending a subscription from one thread while another thread runs its callback.
void expectEndWaitsForCallback(bool by_dropping_handle) {
  fw::Messenger messenger;
  SlowCallback slow;
  fw::Subscriber sub = messenger.subscribe("t", 0, slow.function());
  std::thread publisher([&messenger] { messenger.publish("t", 1); });
  slow.first_entered.get_future().wait();

  std::atomic<bool> ended{false};
  std::thread ender([&] {
    if (by_dropping_handle) {
      sub = fw::Subscriber();
    } else {
      sub.shutdown();
    }
    ended = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const bool ended_early = ended.load();
  const bool callback_done_early = !slow.journal.get().empty();
  slow.release.set_value();
  ender.join();
  publisher.join();
  EXPECT_FALSE(ended_early);
  EXPECT_FALSE(callback_done_early);
  EXPECT_EQ(slow.journal.get(), (std::vector<int>{1}));
  messenger.publish("t", 2);
  EXPECT_EQ(slow.journal.get(), (std::vector<int>{1}));
}

TEST(Messenger, ShutdownWaitsForDeliveriesInOtherThreads) { expectEndWaitsForCallback(false); }

TEST(Messenger, DroppingLastHandleWaitsForDeliveriesInOtherThreads) {
  expectEndWaitsForCallback(true);
}

// Tells when the callback that owns it has been destroyed with its subscription's state.
struct ReleaseSignal {
  std::promise<void> released;
  ~ReleaseSignal() { released.set_value(); }
};

TEST(Messenger, CallbackMayEndItsOwnSubscription) {
  fw::Messenger messenger;
  Journal journal;
  auto holder = std::make_shared<fw::Subscriber>();
  *holder = messenger.subscribe("t", 0, sv::VarFunction([&journal, holder](int v) {
                                  journal.add(v);
                                  holder->shutdown();
                                }));
  messenger.publish("t", 1);
  messenger.publish("t", 2);
  EXPECT_EQ(journal.get(), (std::vector<int>{1}));

  // Dropping the last handle on the subscription's own worker releases its state (and
  // that worker) without the worker joining itself.
  auto signal = std::make_shared<ReleaseSignal>();
  std::future<void> released = signal->released.get_future();
  auto self = std::make_shared<fw::Subscriber>();
  std::weak_ptr<fw::Subscriber> weak_self = self;
  *self = messenger.subscribe("q", 2, sv::VarFunction([weak_self, signal](int) {
                                if (auto handle = weak_self.lock()) *handle = fw::Subscriber();
                              }));
  signal.reset();
  messenger.publish("q", 1);
  EXPECT_EQ(released.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(Messenger, CallbackMayDropTheLastHandleOfAQueuedPublisherDeliveringIt) {
  fw::Messenger messenger;
  fw::Publisher publisher = messenger.advertise<int>("q", 1);
  std::promise<void> go;
  std::shared_future<void> may_drop = go.get_future().share();
  std::promise<std::thread::id> dropped_on;
  fw::Subscriber sub = messenger.subscribe("q", 0, sv::VarFunction([&](int) {
                                             may_drop.wait();  // until publish has returned
                                             publisher = fw::Publisher();
                                             dropped_on.set_value(std::this_thread::get_id());
                                           }));
  std::future<std::thread::id> dropped = dropped_on.get_future();
  publisher.publish(sv::Var(1));
  go.set_value();
  ASSERT_EQ(dropped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_NE(dropped.get(), std::this_thread::get_id());
  EXPECT_TRUE(publisher.empty());

  // The topic goes on working for a new publisher.
  sub.shutdown();
  Journal journal;
  fw::Subscriber counter = messenger.subscribe("q", 0, intCallback(journal));
  messenger.advertise<int>("q").publish(sv::Var(2));
  EXPECT_EQ(journal.get(), (std::vector<int>{2}));
}

TEST(Messenger, ConcurrentPublishAndSubscriptionChurn) {
  fw::Messenger messenger;
  constexpr int kOwners = 4, kRounds = 60;
  std::atomic<bool> stop{false};
  std::atomic<int> late_calls{0}, delivered{0};

  std::vector<std::thread> publishers;
  for (int p = 0; p < 3; ++p) {
    publishers.emplace_back([&] {
      fw::Publisher pub = messenger.advertise<int>("churn");
      while (!stop.load()) {
        pub.publish(sv::Var(1));
        messenger.publish("churn", 2);
      }
    });
  }
  std::vector<std::thread> owners;
  for (int o = 0; o < kOwners; ++o) {
    owners.emplace_back([&, o] {
      for (int r = 0; r < kRounds; ++r) {
        // The owner's state dies right after the subscription ends: a callback that
        // runs after that would count as late.
        auto alive = std::make_shared<std::atomic<bool>>(true);
        fw::Subscriber sub = messenger.subscribe(
            "churn", (o % 2) ? 2 : 0, sv::VarFunction([alive, &late_calls, &delivered](int) {
              if (!alive->load()) late_calls.fetch_add(1);
              delivered.fetch_add(1);
            }));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        sub.shutdown();
        alive->store(false);
      }
    });
  }
  for (std::thread& t : owners) t.join();
  stop = true;
  for (std::thread& t : publishers) t.join();
  EXPECT_EQ(late_calls.load(), 0);
  EXPECT_GT(delivered.load(), 0);
}

}  // namespace

namespace {

// Collects the texts of the log statements made while it is registered.
class CollectingSink : public fw::LogSink {
 public:
  CollectingSink() { fw::logSinks()->insert(this); }
  ~CollectingSink() override { fw::logSinks()->erase(this); }
  void write(int, const char*, const char*, int, const struct tm*, const char* text,
             uint64_t length) override {
    std::lock_guard<std::mutex> lock(mutex);
    texts.append(text, length);
  }
  void flush() override {}
  std::string get() {
    std::lock_guard<std::mutex> lock(mutex);
    return texts;
  }
  std::mutex mutex;
  std::string texts;
};

TEST(Messenger, AQueuedSubscriberThatThrowsIsLoggedAndKeepsItsWorker) {
  CollectingSink sink;
  fw::Messenger messenger;
  std::promise<void> secondArrived;
  fw::Subscriber sub = messenger.subscribe("q", 4, sv::VarFunction([&secondArrived](int v) {
                                             if (v == 1) throw std::runtime_error("boom");
                                             secondArrived.set_value();
                                           }));
  messenger.publish("q", 1);
  messenger.publish("q", 2);
  // One worker, first in first out: the failure was handled before the second message.
  secondArrived.get_future().wait();
  sub.shutdown();
  EXPECT_NE(sink.get().find("Messenger: a queued delivery on \"q\" failed: boom"),
            std::string::npos)
      << sink.get();
}

}  // namespace
