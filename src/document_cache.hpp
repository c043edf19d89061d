#pragma once
// The last API document built and the values it was built from. The page asks for some documents
// far more often than their values change; equal values give the stored text without a rebuild.

#include <optional>
#include <string>
#include <tuple>

template <typename... Values>
class document_cache {
public:
    // The document for these values: the stored one when they equal the last ones, else
    // build(values...), which is then stored. The values are copied only on a rebuild.
    template <typename Build>
    const std::string& get(Build&& build, const Values&... values) {
        if (!m_values || *m_values != std::tie(values...)) {
            m_document = build(values...);
            m_values.emplace(values...);
        }
        return m_document;
    }

private:
    std::optional<std::tuple<Values...>> m_values;
    std::string m_document;
};
