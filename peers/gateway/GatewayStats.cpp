#include "GatewayStats.h"

#include "AppConfig.h"

GatewayStats::GatewayStats() : started_(std::chrono::steady_clock::now()) {}

std::shared_ptr<ModuleStats> GatewayStats::For(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& stats = modules_[key];
    if (!stats) {
        stats = std::make_shared<ModuleStats>();
    }
    return stats;
}

std::vector<std::pair<std::string, std::shared_ptr<ModuleStats>>> GatewayStats::All() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {modules_.begin(), modules_.end()};
}

void GatewayStats::Forget(const AppConfig& config) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = modules_.begin(); it != modules_.end();) {
        const std::string& key = it->first;
        const bool configured = config.KeyOf(key.substr(0, key.find("||"))) == key;
        if (!configured && it->second.use_count() == 1) {
            it = modules_.erase(it);
        } else {
            ++it;
        }
    }
}

double GatewayStats::UptimeSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}
