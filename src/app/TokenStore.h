#pragma once

#include <QString>

#include <memory>
#include <optional>

class PreferenceStore;

// Keeps the signed-in session across launches under four keys of the preference store. Values are
// stored as they are: an empty string stays a present, empty value.
class TokenStore {
public:
    struct TokenData {
        std::optional<QString> accessToken;
        std::optional<QString> refreshToken;
        std::optional<QString> email;
        std::optional<QString> nickname;
    };

    static inline const QString accessTokenKey = QStringLiteral("auth.accessToken");
    static inline const QString refreshTokenKey = QStringLiteral("auth.refreshToken");
    static inline const QString emailKey = QStringLiteral("auth.email");
    static inline const QString nicknameKey = QStringLiteral("auth.nickname");

    explicit TokenStore(std::shared_ptr<PreferenceStore> preferences);

    // Writes the three values, then the nickname, or removes the nickname key when there is none.
    void save(const QString &accessToken, const QString &refreshToken, const QString &email,
              const std::optional<QString> &nickname) const;
    TokenData load() const;
    void clear() const;

private:
    std::shared_ptr<PreferenceStore> m_preferences;
};
