#include "app/HostKinds.h"

#include "hosts/c/CModuleMgt.h"
#include "hosts/go/GoModuleMgt.h"
#include "hosts/java/TomcatSvcMgt.h"
#include "worker/ModuleMgtFactory.h"

void RegisterHostKinds() {
    RegisterModuleMgt("C_MODULE", []() -> IModuleMgt* { return CModuleMgt::getInstance(); });
    RegisterModuleMgt("GO", []() -> IModuleMgt* { return GoModuleMgt::getInstance(); });
    RegisterModuleMgt("TOMCAT", []() -> IModuleMgt* { return TomcatSvcMgt::getInstance(); });
}
