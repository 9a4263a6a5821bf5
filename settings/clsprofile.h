#pragma once
// clsProfile: the program's one gateway to an INI settings file.
//
// Every operation is one call of the profile store (profilestore.h); the
// object keeps nothing but the path and a hold on the store of that path,
// which every object on the same file shares, so two objects see each other's
// writes. Absent text (std::nullopt) is distinct from empty text and is handed
// on to the store exactly as given: an absent key or value asks the store for
// a listing or a deletion, all three absent for a flush. Releasing the object
// flushes the file.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>

#include "settings/profilestore.h"

class clsProfile {
  public:
    clsProfile();   // path = executable's folder + "/" + executable name + ".ini"
    ~clsProfile();  // Flush()
    clsProfile(const clsProfile&) = delete;
    clsProfile& operator=(const clsProfile&) = delete;

    OptText GetString(OptText Section, OptText Key, OptText defVal);
    std::int32_t GetInt(OptText Section, OptText Key, std::int32_t defVal);
    QStringList GetSectNames();
    bool WriteString(OptText Section, OptText Key, OptText Data);
    bool DeleteKey(OptText Section, OptText Key);
    bool DeleteSection(OptText Section);
    void Flush();

    QString FileName() const;
    void setFileName(const QString& path);

    // Cuts a profile buffer down to its content (see the mode rules in the .cpp).
    static QString TrimNull(const QString& text, std::int32_t mode);

    // Every read works in a fresh buffer of this many characters and offers
    // the store one less, so the buffer always ends in NUL.
    static constexpr int kBufferChars = 200000;

  private:
    ProfileStore& Store();

    QString m_strFileName;
    std::shared_ptr<ProfileStore> m_store;  // the store of m_strFileName
};
