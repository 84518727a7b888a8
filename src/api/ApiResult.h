#pragma once

#include "ApiError.h"

#include <utility>
#include <variant>

// The value of a service call, or why there is none.
template <typename T>
class ApiResult {
public:
    // Only for containers that need a default; it holds a failure, never a success.
    ApiResult()
        : m_state(std::in_place_index<1>, ApiError{QStringLiteral("ApiResult"), -3, QStringLiteral("No result")})
    {}
    ApiResult(T value)
        : m_state(std::in_place_index<0>, std::move(value))
    {}
    ApiResult(ApiError error)
        : m_state(std::in_place_index<1>, std::move(error))
    {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T &value() const & { return std::get<0>(m_state); }
    T &&value() && { return std::get<0>(std::move(m_state)); }
    const ApiError &error() const { return std::get<1>(m_state); }

    // A failure of this call as the failure of a call of another type.
    template <typename U>
    ApiResult<U> failure() const
    {
        return ApiResult<U>(error());
    }

private:
    std::variant<T, ApiError> m_state;
};
