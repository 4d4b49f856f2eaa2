#pragma once
// The signature library's configuration: which types are reported and the largest file of
// each type. Read from Orvanerecovery.conf (format: engine/raw/README.md).

#include <QByteArray>

#include <cstdint>
#include <map>
#include <string>

namespace sig {

struct type_rule_s {
    bool enabled = true;
    std::uint64_t limit = 0;  // bytes
};

// Every known type with its default rule.
std::map<std::string, type_rule_s> default_rules();
// The rules after the configuration text: unknown types and malformed lines are ignored
// and listed in *problems (one line each).
std::map<std::string, type_rule_s> parse_config(const QByteArray& text, QByteArray* problems);

// The rules in force (process-wide; set by sig_load_config, defaults before it).
std::map<std::string, type_rule_s> current_rules();
void set_rules(std::map<std::string, type_rule_s> rules);

}  // namespace sig
