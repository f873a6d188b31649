// Windows only: the client's service as the service manager of the test
// prefix sees it, and what the prefix's services wrote.
#ifndef CVN_TESTS_SERVICE_CONTROL_H
#define CVN_TESTS_SERVICE_CONTROL_H

#include <string>

namespace cvntest {

extern const char* const kServiceName;

// The state number that sc.exe shows, or 0 when the service is unknown.
int QueryServiceState();
bool WaitForServiceState(int state, int timeoutMs = 30000);
// Waits (at most timeoutMs) until the service manager answers queries: on a
// busy machine a new session takes a while to start its services.
bool WaitForServiceManager(int timeoutMs = 60000);
// Stops and deletes a service left over by an earlier run.
void RemoveService();
// The line that reg.exe shows for the value ("Name    TYPE    data").
std::string RegistryValue(const std::string& key, const std::string& value);

// What the services of the prefix wrote (the fixture that starts the
// prefix puts it in wine-services.log; CVN_SERVICES_LOG names that file by
// its Unix path), from the moment the object was made.
class ServicesLog {
public:
    ServicesLog();
    std::string Since() const;
    bool WaitFor(const std::string& text, int timeoutMs = 20000) const;

private:
    std::string m_path;
    size_t m_start;
};

}  // namespace cvntest

#endif
