// Settings kept in memory and saved in the background: what readers see before a save is done,
// which changes one save carries, the order of the answers, and what a failed save leaves.

#include "saved_document.hpp"

#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

using nlohmann::json;

namespace {

// Saves that finish only when the test says so, as the writer thread's would finish later.
struct controlled_saves {
    std::vector<std::optional<std::string>> contents;  // one per save started
    std::vector<std::function<void(bool)>> finishers;

    void finish(std::size_t save, bool saved) { finishers.at(save)(saved); }
};

class saved_document_test : public ::testing::Test {
protected:
    json live = json::object();
    controlled_saves saves;
    std::vector<std::string> answers;  // "<name>:<saved>" in the order the callbacks ran
    saved_document<json> document{live, nullptr, [](const json& value) { return value.dump(); },
                                  [this](std::optional<std::string> content, std::function<void(bool)> finished) {
                                      saves.contents.push_back(std::move(content));
                                      saves.finishers.push_back(std::move(finished));
                                  }};

    void set(const std::string& name, int value) {
        document.update([name, value](json& config) { config[name] = value; },
                        [this, name](bool saved) { answers.push_back(name + ":" + (saved ? "saved" : "failed")); });
    }
};

TEST_F(saved_document_test, a_change_is_seen_at_once_and_answered_only_when_its_save_is_done) {
    set("mtu", 1400);
    EXPECT_EQ(live, json({{"mtu", 1400}}));
    ASSERT_EQ(saves.contents.size(), 1U);
    EXPECT_EQ(saves.contents[0], R"({"mtu":1400})");
    EXPECT_TRUE(answers.empty());
    EXPECT_TRUE(document.saving());

    saves.finish(0, true);
    EXPECT_EQ(answers, std::vector<std::string>{"mtu:saved"});
    EXPECT_FALSE(document.saving());
}

TEST_F(saved_document_test, changes_made_during_a_save_are_committed_together_and_answered_in_order) {
    set("a", 1);
    for (int i = 0; i < 20; ++i) set("b" + std::to_string(i), i);
    set("a", 2);
    ASSERT_EQ(saves.contents.size(), 1U) << "a save started while another was under way";

    saves.finish(0, true);
    ASSERT_EQ(saves.contents.size(), 2U) << "the waiting changes need exactly one more save";
    const json second = json::parse(*saves.contents[1]);
    EXPECT_EQ(second.size(), 21U);
    EXPECT_EQ(second["a"], 2);
    EXPECT_EQ(second["b19"], 19);
    EXPECT_EQ(answers, std::vector<std::string>{"a:saved"});

    saves.finish(1, true);
    ASSERT_EQ(answers.size(), 22U);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(answers[1 + static_cast<std::size_t>(i)], "b" + std::to_string(i) + ":saved");
    EXPECT_EQ(answers.back(), "a:saved");
    EXPECT_EQ(saves.contents.size(), 2U);
}

TEST_F(saved_document_test, a_failed_save_fails_every_change_it_carried_and_keeps_later_ones) {
    live = json{{"mtu", 1280}};
    document.mark_saved();
    set("first", 1);
    saves.finish(0, true);  // on disk now: mtu and first

    set("mtu", 1400);  // its save fails ...
    set("second", 2);  // ... while these wait for the next one
    set("third", 3);
    EXPECT_EQ(document.saved(), json({{"mtu", 1280}, {"first", 1}})) << "what runs waits for the save";
    saves.finish(1, false);
    EXPECT_EQ(live, json({{"mtu", 1280}, {"first", 1}, {"second", 2}, {"third", 3}}))
        << "the failed change is undone; the waiting ones stay visible until their own save";
    ASSERT_EQ(saves.contents.size(), 3U);
    EXPECT_EQ(json::parse(*saves.contents[2]), json({{"mtu", 1280}, {"first", 1}, {"second", 2}, {"third", 3}}));

    saves.finish(2, false);
    EXPECT_EQ(live, json({{"mtu", 1280}, {"first", 1}})) << "what the file holds";
    EXPECT_EQ(document.saved(), live);
    EXPECT_EQ(answers, (std::vector<std::string>{"first:saved", "mtu:failed", "second:failed", "third:failed"}));

    set("fourth", 4);
    ASSERT_EQ(saves.contents.size(), 4U);
    EXPECT_EQ(json::parse(*saves.contents[3]), json({{"mtu", 1280}, {"first", 1}, {"fourth", 4}}));
}

TEST_F(saved_document_test, a_failure_undoes_only_its_own_changes_and_later_ones_stay_visible) {
    set("a", 1);
    set("b", 2);  // waits for the next save
    saves.finish(0, false);
    EXPECT_EQ(live, json({{"b", 2}}));
    ASSERT_EQ(saves.contents.size(), 2U);
    EXPECT_EQ(saves.contents[1], R"({"b":2})");
    saves.finish(1, true);
    EXPECT_EQ(answers, (std::vector<std::string>{"a:failed", "b:saved"}));
}

TEST_F(saved_document_test, a_removal_removes_the_file_unless_a_later_change_in_the_same_save_writes_it) {
    set("a", 1);
    document.update_removing_file([](json& config) { config = json::object(); }, {});
    saves.finish(0, true);
    ASSERT_EQ(saves.contents.size(), 2U);
    EXPECT_EQ(saves.contents[1], std::nullopt);
    EXPECT_EQ(live, json::object());

    set("x", 1);  // waits
    document.update_removing_file([](json& config) { config = json::object(); }, {});
    set("y", 2);
    saves.finish(1, true);
    ASSERT_EQ(saves.contents.size(), 3U);
    EXPECT_EQ(saves.contents[2], R"({"y":2})");
}

TEST(saved_document_guarded, changes_and_rollbacks_hold_the_guard_of_a_shared_value) {
    std::map<std::string, std::string> overrides{{"NB_A", "1"}};
    std::mutex guard;
    std::function<void(bool)> finish;
    bool locked_during_save = false;
    saved_document<std::map<std::string, std::string>> document{
        overrides, &guard, [](const auto& value) { return json(value).dump(); },
        [&](std::optional<std::string>, std::function<void(bool)> finished) {
            locked_during_save = !guard.try_lock();
            if (!locked_during_save) guard.unlock();
            finish = std::move(finished);
        }};
    document.mark_saved();
    document.update([](auto& value) { value["NB_B"] = "2"; }, {});
    EXPECT_FALSE(locked_during_save) << "the saver must run without the guard";
    {
        std::lock_guard lock(guard);
        EXPECT_EQ(overrides.size(), 2U);
    }
    finish(false);
    EXPECT_EQ(overrides, (std::map<std::string, std::string>{{"NB_A", "1"}}));
}

}  // namespace
