// The connection journal's place in the daemon: loaded at start, fed by one-line hooks where
// things happen, and answered by GET /journal.

#include "api_helpers.hpp"
#include "application.hpp"
#include "settings_files.hpp"

using http_status = http_server::status;

void application::load_journal() {
    m_journal.load(settings_files::read_json_file(m_journal_path), std::chrono::system_clock::now());
}

void application::record_event(std::string kind, std::string detail) {
    m_journal.record(std::move(kind), std::move(detail), std::chrono::system_clock::now());
}

void application::note_command_end(const std::string& name, int exit_code) {
    record_event("command", name + (exit_code == 0 ? ": done" : ": failed (exit code " + std::to_string(exit_code) + ")"));
    m_last_command_end = clock::now();
}

void application::api_journal(const response_ptr& res, const request& /*req*/) {
    api_helpers::write_json(res, m_journal.document(std::chrono::system_clock::now()), http_status::ok, true);
}
