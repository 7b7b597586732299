// The worker-side receiver of a Java web module: the module's requests are pulled by Java code
// inside the hosted Tomcat, and this receiver starts, stops, drains and health-checks that code
// through static Java calls, so the registry treats a Java module like any other.
#pragma once

#include <jni.h>

#include <atomic>
#include <boost/core/noncopyable.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "model/ModuleKey.h"
#include "worker/IRequestReceiver.h"

class TomcatRequestReceiver : public std::enable_shared_from_this<TomcatRequestReceiver>,
                              private boost::noncopyable,
                              public IRequestReceiver {
public:
    static std::shared_ptr<TomcatRequestReceiver> create(const std::string& gatewayAddr,
                                                         const ModuleKey& key);

    int32_t start() override;
    void stop() override;
    void SetNotReceive() override;
    bool IsNotReceiving() override { return state.load() < STATE_RECEIVING; }
    void reconect() override;
    bool CheckStopOver() override;
    bool ModuleHealthCheck() override;
    ~TomcatRequestReceiver() override = default;

    int32_t State() const { return state.load(); }
    // name "||" version: the module's key in every Java call.
    std::string KeyText() const { return key.GetName() + "||" + key.GetVersion(); }

    // Class and method id of one of the Java side's static methods; 0 or -1 (logged).
    int32_t GetMethod(JNIEnv* env, const std::string& methodName, jclass& cls, jmethodID& mid);
    // Calls a static (Ljava/lang/String;)V method with the key text; 0 or -1.
    int32_t InvokeMethod(const std::string& methodName);
    int32_t InsertRequestReceiver();

    // The class that declares a Java side method, "" for an unknown name.
    static std::string ClassOf(const std::string& methodName);
    // The JNI signature of a Java side method, "" for an unknown name.
    static std::string SignatureOf(const std::string& methodName);

    // The text passed as the port of every health check.
    static constexpr const char* HEALTH_CHECK_PORT = "32018";

private:
    TomcatRequestReceiver(const std::string& gatewayAddr, const ModuleKey& key);

    std::atomic<int32_t> state{STATE_RECEIVING};
    std::string gatewayAddr;
    ModuleKey key;
};
