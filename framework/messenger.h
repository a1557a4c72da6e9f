#pragma once

#include "framework/log.h"
#include "values/function.h"
#include "values/var.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace fw {

class PubSubSpace;

// A publisher of one topic. Copies share one registration; when the last copy a user holds
// goes, the publisher leaves its topic.
class Publisher {
 public:
  struct Impl;

  Publisher() = default;
  explicit Publisher(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
  virtual ~Publisher() = default;
  Publisher(const Publisher&) = default;
  Publisher(Publisher&&) = default;
  Publisher& operator=(const Publisher&) = default;
  Publisher& operator=(Publisher&&) = default;

  // Delivers `message` to the topic's current subscribers: in this thread with queue size
  // 0, else on the publisher's own worker. A callback's exception reaches the caller after
  // every other subscriber has had the message.
  void publish(const sv::Var& message) const;
  // Leaves the topic; publishing through this handle then does nothing.
  void shutdown();

  bool empty() const { return !impl_; }
  bool operator<(const Publisher& other) const { return impl_.get() < other.impl_.get(); }
  bool operator==(const Publisher& other) const { return impl_.get() == other.impl_.get(); }

 private:
  std::shared_ptr<Impl> impl_;
};

// A subscription to one topic. Copies share it; it ends when `shutdown` is called or the
// last copy a user holds goes. Ending it waits for deliveries to it already under way in
// other threads, so no callback runs after its owner is gone.
class Subscriber {
 public:
  struct Impl;

  Subscriber() = default;
  explicit Subscriber(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
  Subscriber(const Subscriber&) = default;
  Subscriber(Subscriber&&) = default;
  Subscriber& operator=(const Subscriber&) = default;
  Subscriber& operator=(Subscriber&&) = default;

  virtual void deliver(const sv::Var& message) const;
  virtual ~Subscriber() = default;
  void shutdown();

  bool empty() const { return !impl_; }
  bool operator<(const Subscriber& other) const { return impl_.get() < other.impl_.get(); }
  bool operator==(const Subscriber& other) const { return impl_.get() == other.impl_.get(); }

 private:
  std::shared_ptr<Impl> impl_;
};

// The topic hub: publishers and subscribers meet by topic name. Copies share one registry.
class Messenger {
 public:
  struct Data;

  Messenger();
  virtual ~Messenger() = default;
  Messenger(const Messenger&) = default;
  Messenger& operator=(const Messenger&) = default;

  // The process-wide messenger; it stays usable during static destruction.
  static Messenger& instance();

  template <typename T>
  Publisher advertise(const std::string& topic, uint32_t queue_size = 0) {
    return advertiseType(topic, queue_size, sv::VarClass::instance<T>());
  }

  Subscriber subscribe(const std::string& topic, uint32_t queue_size,
                       const sv::VarFunction& callback);

  // Subscribes a member function taking its message by const reference, bound to `object`.
  template <typename C, typename M>
  Subscriber subscribe(const std::string& topic, uint32_t queue_size, void (C::*method)(const M&),
                       C* object) {
    std::function<void(const M&)> bound = [object, method](const M& message) {
      (object->*method)(message);
    };
    return subscribe(topic, queue_size, sv::VarFunction(bound));
  }

  // Delivers `message` (as a value of its own per subscriber) to the topic's subscribers in
  // this thread, without a publisher.
  template <typename T>
  void publish(const std::string& topic, const T& message) {
    publishEach(topic, [&message] { return sv::Var(message); });
  }

 private:
  Publisher advertiseType(const std::string& topic, uint32_t queue_size, const sv::Var& type);
  void publishEach(const std::string& topic, const std::function<sv::Var()>& make_message);
  std::shared_ptr<PubSubSpace> space(const std::string& topic);

  std::shared_ptr<Data> data_;
};

// Lets a separately built module share the host's topics and log sinks.
void shareHostServices(Messenger* host_messenger, const std::shared_ptr<LogSinkSet>& host_sinks);

}  // namespace fw
