#include "TokenStore.h"

#include "platform/PreferenceStore.h"

TokenStore::TokenStore(std::shared_ptr<PreferenceStore> preferences)
    : m_preferences(std::move(preferences))
{}

void TokenStore::save(const QString &accessToken, const QString &refreshToken, const QString &email,
                      const std::optional<QString> &nickname) const
{
    m_preferences->setString(accessTokenKey, accessToken);
    m_preferences->setString(refreshTokenKey, refreshToken);
    m_preferences->setString(emailKey, email);
    if (nickname)
        m_preferences->setString(nicknameKey, *nickname);
    else
        m_preferences->remove(nicknameKey);
}

TokenStore::TokenData TokenStore::load() const
{
    TokenData data;
    data.accessToken = m_preferences->string(accessTokenKey);
    data.refreshToken = m_preferences->string(refreshTokenKey);
    data.email = m_preferences->string(emailKey);
    data.nickname = m_preferences->string(nicknameKey);
    return data;
}

void TokenStore::clear() const
{
    m_preferences->remove(accessTokenKey);
    m_preferences->remove(refreshTokenKey);
    m_preferences->remove(emailKey);
    m_preferences->remove(nicknameKey);
}
