#pragma once
// The stateless parts of NetBird's debug bundle (debug_bundle.cpp).

#include <filesystem>
#include <string>

#include "command_result.hpp"

namespace debug_bundle {

// The answer of an upload: the command's result and the upload key the client printed.
std::string build_debug_upload_json(const command_result& result);

// Where the NetBird service writes its bundle zips, and the removal of those it left behind.
std::filesystem::path bundle_temp_dir();
void remove_leftover_bundles();

}  // namespace debug_bundle
