// An event a class raises: subscribers are called in the order they subscribed,
// synchronously, inside the raising call. Only the owning class can raise it.
#pragma once

#include <functional>
#include <utility>
#include <vector>

namespace tess {

template <class Owner, class... Args>
class Event {
public:
    using Handler = std::function<void(Args...)>;

    void Subscribe(Handler handler) { handlers_.push_back(std::move(handler)); }

private:
    friend Owner;

    // A subscriber added while the event is being raised is called from the next raise on.
    void Raise(Args... args) const {
        const std::vector<Handler> now = handlers_;
        for (const Handler& h : now) h(args...);
    }

    std::vector<Handler> handlers_;
};

}  // namespace tess
