#include "framework/messenger.h"

#include "framework/log.h"
#include "framework/thread_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

namespace fw {

struct Subscriber::Impl {
  std::string topic;
  sv::Var type;  // class of the callback's one parameter, else Undefined
  sv::VarFunction callback;
  std::atomic<bool> shut_down{false};
  std::shared_ptr<PubSubSpace> space;
  uint64_t queue_size = 0;
  std::atomic<int> in_flight{0};  // deliveries running the callback right now
  std::mutex idle_mutex;
  std::condition_variable idle;
  // Last, so that it is destroyed first: its worker drains the queue while the fields it
  // reads still stand, and every queued delivery then sees the shut-down flag.
  std::shared_ptr<detail::ThreadPool> pool;

  ~Impl() { shut_down = true; }

  void deliver(const sv::Var& message);
  // Runs the callback unless shut down; counted as in flight while it runs.
  void invoke(const sv::Var& message);
  // Sets the flag, leaves the topic and waits for deliveries under way in other threads.
  void shutdown();
};

struct Publisher::Impl {
  std::string topic;
  sv::Var type;  // class of the message type it was advertised with
  std::shared_ptr<PubSubSpace> space;
  uint64_t queue_size = 0;
  std::shared_ptr<detail::ThreadPool> pool;  // one worker when queue_size > 0

  void shutdown();
};

// One topic's registered subscribers and publishers.
class PubSubSpace {
 public:
  using SubscriberList = std::vector<std::shared_ptr<Subscriber::Impl>>;

  // The subscribers at this moment, in ascending order of state address.
  std::shared_ptr<const SubscriberList> snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return subscribers_;
  }
  void add(const std::shared_ptr<Subscriber::Impl>& subscriber);
  void remove(const Subscriber::Impl* subscriber);
  void add(const std::shared_ptr<Publisher::Impl>& publisher);
  void remove(const Publisher::Impl* publisher);

 private:
  std::mutex mutex_;
  // Replaced as a whole on every change, so a snapshot is one shared pointer copy.
  std::shared_ptr<const SubscriberList> subscribers_ = std::make_shared<SubscriberList>();
  std::set<std::shared_ptr<Publisher::Impl>> publishers_;
};

namespace {

// The subscriber states whose callbacks this thread is running, innermost last.
thread_local std::vector<const Subscriber::Impl*> t_delivering;

template <typename MakeMessage>
void deliverEach(const PubSubSpace::SubscriberList& subscribers, const MakeMessage& make_message) {
  std::exception_ptr first_error;
  for (const auto& subscriber : subscribers) {
    try {
      subscriber->deliver(make_message());
    } catch (...) {
      if (!first_error) first_error = std::current_exception();
    }
  }
  if (first_error) std::rethrow_exception(first_error);
}

// Runs one queued delivery on a pool worker. Its future is never read, so a failure is
// logged here instead of being kept in it.
template <typename Delivery>
void runQueued(const std::string& topic, const Delivery& delivery) {
  try {
    delivery();
  } catch (const std::exception& e) {
    FW_LOG(kLogError) << "Messenger: a queued delivery on \"" << topic << "\" failed: " << e.what();
  } catch (...) {
    FW_LOG(kLogError) << "Messenger: a queued delivery on \"" << topic << "\" failed";
  }
}

void deliverToAll(const PubSubSpace::SubscriberList& subscribers, const sv::Var& message) {
  deliverEach(subscribers, [&message]() -> const sv::Var& { return message; });
}

// Lets go of a handle state. A state ended from inside a delivery on its own worker owns
// the very thread running that delivery, so it is let go from another thread, which can
// join that worker.
template <typename State>
void releaseState(std::shared_ptr<State>& state) {
  if (state->pool && state->pool->runsOnWorker()) std::thread([s = std::move(state)] {}).detach();
}

// What the user handles of a subscription share: when the last of them goes, the
// subscription ends. Snapshots and the registry hold the state itself, so their copies
// never decide it.
struct SubscriberLease {
  explicit SubscriberLease(std::shared_ptr<Subscriber::Impl> state) : impl(std::move(state)) {}
  SubscriberLease(const SubscriberLease&) = delete;
  SubscriberLease& operator=(const SubscriberLease&) = delete;
  ~SubscriberLease() {
    impl->shutdown();
    releaseState(impl);
  }
  std::shared_ptr<Subscriber::Impl> impl;
};

struct PublisherLease {
  explicit PublisherLease(std::shared_ptr<Publisher::Impl> state) : impl(std::move(state)) {}
  PublisherLease(const PublisherLease&) = delete;
  PublisherLease& operator=(const PublisherLease&) = delete;
  ~PublisherLease() {
    impl->shutdown();
    releaseState(impl);
  }
  std::shared_ptr<Publisher::Impl> impl;
};

std::shared_ptr<detail::ThreadPool> poolFor(uint32_t queue_size) {
  return queue_size > 0 ? std::make_shared<detail::ThreadPool>(1) : nullptr;
}

}  // namespace

void PubSubSpace::add(const std::shared_ptr<Subscriber::Impl>& subscriber) {
  std::lock_guard<std::mutex> lock(mutex_);
  const SubscriberList& current = *subscribers_;
  auto at = std::lower_bound(current.begin(), current.end(), subscriber);
  if (at != current.end() && *at == subscriber) return;
  auto next = std::make_shared<SubscriberList>(current);
  next->insert(next->begin() + (at - current.begin()), subscriber);
  subscribers_ = std::move(next);
}

void PubSubSpace::remove(const Subscriber::Impl* subscriber) {
  std::shared_ptr<const SubscriberList> previous;  // released after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  const SubscriberList& current = *subscribers_;
  auto at = std::find_if(current.begin(), current.end(),
                         [subscriber](const auto& s) { return s.get() == subscriber; });
  if (at == current.end()) return;
  auto next = std::make_shared<SubscriberList>(current);
  next->erase(next->begin() + (at - current.begin()));
  previous = std::move(subscribers_);
  subscribers_ = std::move(next);
}

void PubSubSpace::add(const std::shared_ptr<Publisher::Impl>& publisher) {
  std::lock_guard<std::mutex> lock(mutex_);
  publishers_.insert(publisher);
}

void PubSubSpace::remove(const Publisher::Impl* publisher) {
  std::shared_ptr<Publisher::Impl> removed;  // released after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = publishers_.begin(); it != publishers_.end(); ++it) {
    if (it->get() == publisher) {
      removed = *it;
      publishers_.erase(it);
      return;
    }
  }
}

void Subscriber::Impl::deliver(const sv::Var& message) {
  if (shut_down.load()) return;
  if (!pool) {
    invoke(message);
    return;
  }
  // At most queue_size messages wait; the newest win.
  if (pool->PendingTasks() >= queue_size) pool->dropOldest();
  pool->Add([this, message] { runQueued(topic, [&] { invoke(message); }); });
}

void Subscriber::Impl::invoke(const sv::Var& message) {
  // Counted before the flag is read: a shutdown that sets the flag after this point
  // sees the count and waits for the callback.
  in_flight.fetch_add(1);
  struct Leave {
    Subscriber::Impl* impl;
    bool counted_thread;
    ~Leave() {
      if (counted_thread) t_delivering.pop_back();
      impl->in_flight.fetch_sub(1);
      if (impl->shut_down.load()) {
        std::lock_guard<std::mutex> lock(impl->idle_mutex);
        impl->idle.notify_all();
      }
    }
  };
  if (shut_down.load()) {
    Leave leave{this, false};
    return;
  }
  t_delivering.push_back(this);
  Leave leave{this, true};
  callback.call(message);
}

void Subscriber::Impl::shutdown() {
  shut_down.store(true);
  if (space) space->remove(this);
  // Deliveries this thread is itself inside of cannot be waited for.
  const int own = static_cast<int>(std::count(t_delivering.begin(), t_delivering.end(), this));
  std::unique_lock<std::mutex> lock(idle_mutex);
  idle.wait(lock, [this, own] { return in_flight.load() <= own; });
}

void Publisher::Impl::shutdown() {
  if (space) space->remove(this);
}

void Subscriber::deliver(const sv::Var& message) const {
  if (impl_) impl_->deliver(message);
}

void Subscriber::shutdown() {
  if (!impl_) return;
  impl_->shutdown();
  impl_.reset();
}

void Publisher::publish(const sv::Var& message) const {
  if (!impl_ || !impl_->space) return;
  std::shared_ptr<const PubSubSpace::SubscriberList> subscribers = impl_->space->snapshot();
  if (subscribers->empty()) return;  // nothing is kept for later subscribers
  if (!impl_->pool) {
    deliverToAll(*subscribers, message);
    return;
  }
  if (impl_->pool->PendingTasks() >= impl_->queue_size) impl_->pool->dropOldest();
  impl_->pool->Add([subscribers, message, topic = impl_->topic] {
    runQueued(topic, [&] { deliverToAll(*subscribers, message); });
  });
}

void Publisher::shutdown() {
  if (!impl_) return;
  impl_->shutdown();
  impl_.reset();
}

struct Messenger::Data {
  std::mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<PubSubSpace>> topics;
  Publisher new_publisher;   // "messenger/newpub": announces every advertised publisher
  Publisher new_subscriber;  // "messenger/newsub": announces every new subscriber
};

Messenger::Messenger() : data_(std::make_shared<Data>()) {
  data_->new_subscriber = advertise<Subscriber>("messenger/newsub");
  data_->new_publisher = advertise<Publisher>("messenger/newpub");
}

Messenger& Messenger::instance() {
  // Deliberately never destroyed: threads may still publish while statics are torn down.
  static auto* messenger = new Messenger();
  return *messenger;
}

std::shared_ptr<PubSubSpace> Messenger::space(const std::string& topic) {
  std::shared_ptr<PubSubSpace>& entry = data_->topics[topic];
  if (!entry) entry = std::make_shared<PubSubSpace>();
  return entry;
}

Publisher Messenger::advertiseType(const std::string& topic, uint32_t queue_size,
                                   const sv::Var& type) {
  if (topic.empty()) return Publisher();
  auto impl = std::make_shared<Publisher::Impl>();
  impl->topic = topic;
  impl->type = type;
  impl->queue_size = queue_size;
  impl->pool = poolFor(queue_size);
  {
    std::lock_guard<std::mutex> lock(data_->mutex);
    impl->space = space(topic);
    impl->space->add(impl);
  }
  auto lease = std::make_shared<PublisherLease>(impl);
  Publisher publisher(std::shared_ptr<Publisher::Impl>(lease, impl.get()));
  data_->new_publisher.publish(sv::Var(publisher));
  return publisher;
}

Subscriber Messenger::subscribe(const std::string& topic, uint32_t queue_size,
                                const sv::VarFunction& callback) {
  if (topic.empty()) return Subscriber();
  auto impl = std::make_shared<Subscriber::Impl>();
  impl->topic = topic;
  if (callback.class_list.size() == 2) impl->type = callback.class_list[1];
  impl->callback = callback;
  impl->queue_size = queue_size;
  impl->pool = poolFor(queue_size);
  {
    std::lock_guard<std::mutex> lock(data_->mutex);
    impl->space = space(topic);
    impl->space->add(impl);
  }
  auto lease = std::make_shared<SubscriberLease>(impl);
  Subscriber subscriber(std::shared_ptr<Subscriber::Impl>(lease, impl.get()));
  data_->new_subscriber.publish(sv::Var(subscriber));
  return subscriber;
}

void Messenger::publishEach(const std::string& topic,
                            const std::function<sv::Var()>& make_message) {
  std::shared_ptr<const PubSubSpace::SubscriberList> subscribers;
  {
    std::lock_guard<std::mutex> lock(data_->mutex);
    subscribers = space(topic)->snapshot();
  }
  deliverEach(*subscribers, make_message);
}

void shareHostServices(Messenger* host_messenger, const std::shared_ptr<LogSinkSet>& host_sinks) {
  if (host_messenger && &Messenger::instance() != host_messenger) {
    Messenger::instance() = *host_messenger;
  }
  if (host_sinks && logSinks() != host_sinks) logSinks() = host_sinks;
}

}  // namespace fw
