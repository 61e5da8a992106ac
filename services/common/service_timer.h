#pragma once

namespace halvo {

// A one-shot timer on a service's loop, as the shared pieces of a capture hold one. Destroying it,
// with the loop's lock held, cancels it.
class ServiceTimer {
  public:
    virtual ~ServiceTimer() = default;
};

}  // namespace halvo
