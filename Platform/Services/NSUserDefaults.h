#pragma once
// The standard user defaults: typed values under string keys that persist
// across launches, stored through QSettings in an INI file under the user's
// configuration directory (named by the application's organization and
// name). Safe to use from any thread.

#include <cstdint>
#include <optional>
#include <string>

class NSUserDefaults {
public:
    static NSUserDefaults& standardUserDefaults();

    // Stores everything in `path` instead, starting with what that file holds;
    // an empty path goes back to the standard file. For tests.
    static void useFileForTesting(const std::string& path);

    // Missing keys read as 0, 0.0 and false; stored text is converted the way
    // the platform does ("0.25" reads as 0.25, "YES" and "true" as true).
    std::int64_t integerForKey(const std::string& key) const;
    float floatForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;
    // Whether anything is stored under the key: its text, or nothing.
    std::optional<std::string> objectForKey(const std::string& key) const;

    void setInteger(std::int64_t value, const std::string& key);
    void setFloat(float value, const std::string& key);
    void setDouble(double value, const std::string& key);
    void setBool(bool value, const std::string& key);
    void setString(const std::string& value, const std::string& key);
    void removeObjectForKey(const std::string& key);

    // Writes pending changes to the file now (they are written soon anyway).
    bool synchronize();

private:
    NSUserDefaults() = default;
};
