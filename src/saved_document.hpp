#pragma once
// A document the daemon keeps in memory and saves to one file in the background, with the event
// loop's view of it:
// - a change shows in the live value at once, so the next change builds on it;
// - the saved value is what the file holds: what takes effect reads it, so a change whose save
//   fails never takes effect;
// - its callback runs once the file holds it (true), or once saving it failed (false); the live
//   value is then what the file holds, with the changes made since laid over it again;
// - changes made while a save is under way are saved together by the next one (one write for
//   all), and saves and callbacks keep the order of the changes.
// Used on the event loop only; the saver does the file work elsewhere and reports back there.

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

template <typename T>
class saved_document {
public:
    using change = std::function<void(T&)>;
    using on_saved = std::function<void(bool saved)>;
    // Saves `content` to the file, or removes the file when there is none; then calls `finished`
    // on the loop with the outcome.
    using saver = std::function<void(std::optional<std::string> content, std::function<void(bool)> finished)>;
    using renderer = std::function<std::string(const T&)>;

    // `guard`, when given, is held for every access to `live` (other threads read it too).
    saved_document(T& live, std::mutex* guard, renderer render, saver save)
        : m_live(live), m_guard(guard), m_render(std::move(render)), m_save(std::move(save)) {}
    saved_document(const saved_document&) = delete;
    saved_document& operator=(const saved_document&) = delete;

    // The live value is what the file holds (after loading it).
    void mark_saved() { m_saved = guarded([this] { return m_live; }); }

    // Applies `apply` to the live value now and saves the result; `done` may be empty. `apply`
    // must give the same result when run again on the same value: a failed save runs it again.
    void update(change apply, on_saved done) { add({std::move(apply), false, std::move(done)}); }

    // Like update, but the file is removed instead of written (`apply` empties the value).
    void update_removing_file(change apply, on_saved done) { add({std::move(apply), true, std::move(done)}); }

    bool saving() const { return m_in_flight > 0; }

    // What the file holds: the value loaded, then each successful save's.
    const T& saved() const { return m_saved; }

private:
    struct pending_change {
        change apply;
        bool removes_file;
        on_saved done;
    };

    template <typename F>
    auto guarded(F&& f) {
        std::unique_lock<std::mutex> lock;
        if (m_guard != nullptr) lock = std::unique_lock(*m_guard);
        return f();
    }

    void add(pending_change pending) {
        guarded([&] { pending.apply(m_live); });
        m_pending.push_back(std::move(pending));
        if (m_in_flight == 0) start_save();
    }

    void start_save() {
        m_in_flight = m_pending.size();
        std::optional<std::string> content;
        guarded([&] {
            m_saving = m_live;
            if (!m_pending.back().removes_file) content = m_render(m_live);
        });
        m_save(std::move(content), [this](bool saved) { finish_save(saved); });
    }

    void finish_save(bool saved) {
        std::vector<on_saved> callbacks;
        for (std::size_t i = 0; i < m_in_flight; ++i) {
            callbacks.push_back(std::move(m_pending.front().done));
            m_pending.pop_front();
        }
        m_in_flight = 0;
        if (saved) {
            m_saved = std::move(*m_saving);
        } else {
            guarded([this] {
                m_live = m_saved;
                for (const pending_change& later : m_pending) later.apply(m_live);
            });
        }
        m_saving.reset();
        for (const on_saved& done : callbacks)
            if (done) done(saved);
        // A callback may have made a change, which started the next save already.
        if (!m_pending.empty() && m_in_flight == 0) start_save();
    }

    T& m_live;
    std::mutex* m_guard;
    renderer m_render;
    saver m_save;
    T m_saved{};
    std::optional<T> m_saving;
    // Oldest first; the first m_in_flight of them are in the save under way.
    std::deque<pending_change> m_pending;
    std::size_t m_in_flight = 0;
};
