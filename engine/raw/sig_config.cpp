#include "sig_config.h"

#include "sig_format.h"

#include <QList>

#include <mutex>

namespace sig {

namespace {

std::mutex rules_lock;
bool rules_set = false;
std::map<std::string, type_rule_s> rules_in_force;

// "256M", "4G", "100000", "64K": bytes; false when malformed or zero.
bool parse_size(const QByteArray& text, std::uint64_t* bytes) {
    if (text.isEmpty()) {
        return false;
    }
    QByteArray digits = text;
    std::uint64_t unit = 1;
    const char last = static_cast<char>(text.back() | 0x20);
    if (last == 'k' || last == 'm' || last == 'g' || last == 't') {
        unit = last == 'k'   ? 1ull << 10
               : last == 'm' ? 1ull << 20
               : last == 'g' ? 1ull << 30
                             : 1ull << 40;
        digits.chop(1);
    }
    bool ok = false;
    const std::uint64_t value = digits.toULongLong(&ok);
    if (!ok || value == 0 || value > UINT64_MAX / unit) {
        return false;
    }
    *bytes = value * unit;
    return true;
}

}  // namespace

std::map<std::string, type_rule_s> default_rules() {
    std::map<std::string, type_rule_s> rules;
    for (const format_s& f : formats()) {
        for (const QByteArray& type : QByteArray(f.types).split(' ')) {
            type_rule_s& rule = rules[type.toStdString()];
            rule.enabled = true;
            rule.limit = std::max(rule.limit, f.default_limit);
        }
    }
    return rules;
}

std::map<std::string, type_rule_s> parse_config(const QByteArray& text, QByteArray* problems) {
    std::map<std::string, type_rule_s> rules = default_rules();
    int number = 0;
    for (QByteArray line : text.split('\n')) {
        ++number;
        const int hash = line.indexOf('#');
        if (hash >= 0) {
            line.truncate(hash);
        }
        line = line.simplified();
        if (line.isEmpty()) {
            continue;
        }
        const QList<QByteArray> fields = line.split(' ');
        auto rule = rules.find(fields[0].toLower().toStdString());
        std::uint64_t limit = 0;
        const bool state_ok = fields.size() >= 2 && (fields[1] == "on" || fields[1] == "off");
        const bool limit_ok = fields.size() < 3 || parse_size(fields[2], &limit);
        if (rule == rules.end() || !state_ok || !limit_ok || fields.size() > 3) {
            if (problems) {
                *problems += "line " + QByteArray::number(number) + ": " + line + '\n';
            }
            continue;
        }
        rule->second.enabled = fields[1] == "on";
        if (fields.size() == 3) {
            rule->second.limit = limit;
        }
    }
    return rules;
}

std::map<std::string, type_rule_s> current_rules() {
    std::lock_guard<std::mutex> hold(rules_lock);
    return rules_set ? rules_in_force : default_rules();
}

void set_rules(std::map<std::string, type_rule_s> rules) {
    std::lock_guard<std::mutex> hold(rules_lock);
    rules_in_force = std::move(rules);
    rules_set = true;
}

}  // namespace sig
