#include "StringTables.h"

namespace StringTables {

namespace {

struct Row {
    const char *key;
    const char *text[4]; // en, zh-CN, zh-TW, ru
};

// clang-format off
constexpr Row kRows[] = {
    {"slogan", {"Secure · Fast · Stable", "安全·快速·稳定", "安全·快速·穩定", "Безопасно · Быстро · Стабильно"}},
    {"email_label", {"Email", "邮箱", "電子郵件", "Эл. почта"}},
    {"password_label", {"Password", "密码", "密碼", "Пароль"}},
    {"show_password", {"Show", "显示", "顯示", "Показать"}},
    {"hide_password", {"Hide", "隐藏", "隱藏", "Скрыть"}},
    {"login_title", {"Login", "登录", "登入", "Вход"}},
    {"login_button", {"Login", "登录", "登入", "Войти"}},
    {"no_account", {"Don't have an account? ", "没有账号？", "沒有帳號？", "Нет аккаунта? "}},
    {"register_now", {"Register Now", "立即注册", "立即註冊", "Зарегистрироваться"}},
    {"back", {"Back", "返回", "返回", "Назад"}},
    {"create_account", {"Create Account", "创建账号", "建立帳號", "Создать аккаунт"}},
    {"start_experience", {"Start with Nimbrel", "开始体验 Nimbrel", "開始體驗 Nimbrel", "Начните с Nimbrel"}},
    {"nickname_optional", {"Nickname (optional)", "昵称（可选）", "暱稱（選填）", "Никнейм (необязательно)"}},
    {"password_min_8", {"Password (min 8 characters)", "密码（至少 8 位）", "密碼（至少 8 位）", "Пароль (мин. 8 символов)"}},
    {"confirm_password", {"Confirm Password", "确认密码", "確認密碼", "Подтвердите пароль"}},
    {"password_mismatch", {"Passwords do not match", "两次密码不一致", "兩次密碼不一致", "Пароли не совпадают"}},
    {"register_button", {"Register", "注册", "註冊", "Зарегистрироваться"}},
    {"have_account", {"Already have an account? ", "已有账号？", "已有帳號？", "Уже есть аккаунт? "}},
    {"login_now", {"Login Now", "立即登录", "立即登入", "Войти"}},
    {"logout", {"Logout", "退出", "登出", "Выход"}},
    {"connect_button", {"Connect", "连接", "連線", "Подключить"}},
    {"disconnect_button", {"Disconnect", "断开连接", "中斷連線", "Отключить"}},
    {"subscribe_first", {"Please subscribe first", "请先开通订阅", "請先開通訂閱", "Сначала оформите подписку"}},
    {"subscribed", {"● Subscribed", "● 已订阅", "● 已訂閱", "● Подписка активна"}},
    {"not_subscribed", {"● Not Subscribed", "● 未订阅", "● 未訂閱", "● Нет подписки"}},
    {"expires_format", {"Expires: %@", "到期：%@", "到期：%@", "Истекает: %@"}},
    {"subscribe_to_use", {"Subscribe to use nodes", "开通订阅以使用节点", "開通訂閱以使用節點", "Оформите подписку для доступа к серверам"}},
    {"renew", {"Renew", "续费", "續費", "Продлить"}},
    {"subscribe_now", {"Subscribe Now", "立即订阅", "立即訂閱", "Подписаться"}},
    {"select_node", {"Select Node", "选择节点", "選擇節點", "Выбор сервера"}},
    {"refresh_nodes", {"Refresh", "刷新", "重新整理", "Обновить"}},
    {"nodes_load_failed", {"Failed to load nodes: %@", "加载节点失败：%@", "載入節點失敗：%@", "Ошибка загрузки серверов: %@"}},
    {"no_nodes_available", {"No nodes available", "暂无可用节点", "暫無可用節點", "Нет доступных серверов"}},
    {"offline", {"Offline", "离线", "離線", "Офлайн"}},
    {"timeout", {"Timeout", "超时", "逾時", "Таймаут"}},
    {"vpn_disconnected", {"Disconnected", "未连接", "未連線", "Отключён"}},
    {"vpn_connecting", {"Connecting…", "连接中…", "連線中…", "Подключение…"}},
    {"vpn_connected", {"Connected", "已连接", "已連線", "Подключён"}},
    {"vpn_error_format", {"Error: %@", "错误: %@", "錯誤: %@", "Ошибка: %@"}},
    {"select_node_first", {"Please select a node first", "请先选择节点", "請先選擇節點", "Сначала выберите сервер"}},
    {"psk_not_ready", {"PSK not ready, please refresh nodes", "PSK 未就绪，请刷新节点", "PSK 未就緒，請重新整理節點", "PSK не готов, обновите серверы"}},
    {"user_cancelled", {"Authorization cancelled", "用户取消授权", "使用者取消授權", "Авторизация отменена"}},
    {"launch_failed", {"Launch failed: %@", "启动失败: %@", "啟動失敗: %@", "Ошибка запуска: %@"}},
    {"process_exited", {"Connection lost", "连接已断开", "連線已中斷", "Соединение потеряно"}},
    {"process_crashed", {"Process exited unexpectedly", "进程异常退出", "程序異常退出", "Процесс завершился неожиданно"}},
    {"connect_failed", {"Connection failed, check server and PSK", "连接失败，请检查服务器和 PSK", "連線失敗，請檢查伺服器和 PSK", "Ошибка подключения, проверьте сервер и PSK"}},
    {"tunnel_in_use", {"Tunnel in use by another Nimbrel process (%@)", "隧道正被另一个 Nimbrel 进程使用（%@）", "通道正被另一個 Nimbrel 程序使用（%@）", "Туннель занят другим процессом Nimbrel (%@)"}},
    {"node_invalid", {"Node settings are invalid, please refresh nodes", "节点参数无效，请刷新节点", "節點參數無效，請重新整理節點", "Неверные параметры сервера, обновите серверы"}},
    {"privileges_refused", {"Cannot safely grant nimbrel-macos its rights", "无法安全地为 nimbrel-macos 授权", "無法安全地為 nimbrel-macos 授權", "Невозможно безопасно выдать права nimbrel-macos"}},
    {"binary_not_found", {"nimbrel-macos binary not found", "未找到 nimbrel-macos", "找不到 nimbrel-macos", "Файл nimbrel-macos не найден"}},
    {"cancel_connect", {"Cancel", "取消", "取消", "Отмена"}},
    {"disconnecting", {"Disconnecting…", "断开中…", "中斷連線中…", "Отключение…"}},
    {"disconnected", {"Disconnected", "已断开", "已中斷", "Отключён"}},
    {"stop_failed", {"The tunnel helper did not stop; the next disconnect or connect tries again", "隧道助手未能停止，下次断开或连接时将重试", "通道助手未能停止，下次中斷或連線時將重試", "Помощник туннеля не остановился; следующее отключение или подключение повторит попытку"}},
    {"request_failed", {"Request failed", "请求失败", "請求失敗", "Ошибка запроса"}},
    {"request_too_long", {"The request took too long", "请求耗时过长", "請求耗時過長", "Запрос выполнялся слишком долго"}},
    {"path_owned_by_other", {"%@ belongs to user %@; an administrator can remove it", "%@ 属于用户 %@，管理员可以将其删除", "%@ 屬於使用者 %@，管理員可以將其刪除", "%@ принадлежит пользователю %@; удалить его может администратор"}},
    {"mode_safe", {"Safe Mode", "安全模式", "安全模式", "Безопасный"}},
    {"mode_smart", {"Smart Mode", "智能模式", "智慧模式", "Умный"}},
    // Testing the nodes and picking the fastest.
    {"test_all", {"Test all", "全部测速", "全部測速", "Проверить все"}},
    {"fastest", {"Fastest", "最快", "最快", "Самый быстрый"}},
    {"no_reachable_node", {"No reachable node", "没有可用的节点", "沒有可用的節點", "Нет доступного сервера"}},
    {"copy_support_report", {"Copy support report", "复制支持报告", "複製支援報告", "Скопировать отчёт для поддержки"}},
    {"launch_at_login", {"Start at login", "登录时启动", "登入時啟動", "Запускать при входе в систему"}},
    {"connect_on_launch", {"Connect on start", "启动时连接", "啟動時連線", "Подключаться при запуске"}},
    {"auto_reconnect", {"Reconnect when lost", "断线后自动重连", "斷線後自動重新連線", "Переподключаться при обрыве"}},
    {"reconnecting", {"Reconnecting… (%@/%@)", "正在重新连接…（%@/%@）", "正在重新連線…（%@/%@）", "Переподключение… (%@/%@)"}},
    {"holder_process", {"%@, pid %@", "%@，进程号 %@", "%@，程序編號 %@", "%@, pid %@"}},
    {"holder_unknown", {"another process", "另一个进程", "另一個程序", "другой процесс"}},
    {"connected_in_terminal", {"Connected in a terminal (%@)", "已在终端中连接（%@）", "已在終端機中連線（%@）", "Подключено в терминале (%@)"}},
    {"connected_elsewhere", {"Connected by another Nimbrel process (%@)", "已由另一个 Nimbrel 进程连接（%@）", "已由另一個 Nimbrel 程序連線（%@）", "Подключено другим процессом Nimbrel (%@)"}},
    {"left_running", {"%@, left running by %@", "%@，由 %@ 遗留运行", "%@，由 %@ 遺留執行", "%@, оставлен работать процессом %@"}},
    {"browser_open_failed", {"Could not open a web browser", "无法打开网页浏览器", "無法開啟網頁瀏覽器", "Не удалось открыть браузер"}},
    {"connected_mark", {"connected", "已连接", "已連線", "подключён"}},
    {"connected_for", {"Connected for %@", "已连接 %@", "已連線 %@", "Подключено %@"}},
    {"file_cannot_make", {"Cannot make %@ (%@)", "无法创建 %@（%@）", "無法建立 %@（%@）", "Не удаётся создать %@ (%@)"}},
    {"file_not_private", {"%@ is not a folder of this user's alone", "%@ 不是仅属于此用户的文件夹", "%@ 不是僅屬於此使用者的資料夾", "%@ — не личная папка этого пользователя"}},
    {"file_cannot_open", {"Cannot open %@ (%@)", "无法打开 %@（%@）", "無法開啟 %@（%@）", "Не удаётся открыть %@ (%@)"}},
    {"file_cannot_create", {"Cannot create %@ (%@)", "无法创建 %@（%@）", "無法建立 %@（%@）", "Не удаётся создать %@ (%@)"}},
    {"file_not_ours", {"%@ is taken by a file that is not ours", "%@ 被不属于本程序的文件占用", "%@ 被不屬於本程式的檔案佔用", "%@ занят чужим файлом"}},
    {"file_cannot_protect", {"Cannot protect %@", "无法保护 %@", "無法保護 %@", "Не удаётся защитить %@"}},
    {"file_keeps_replaced", {"Cannot lock %@: it keeps being replaced", "无法锁定 %@：它不断被替换", "無法鎖定 %@：它不斷被替換", "Не удаётся заблокировать %@: его постоянно подменяют"}},
    {"file_changed", {"%@ changed while it was being created", "%@ 在创建时被更改", "%@ 在建立時被變更", "%@ изменился во время создания"}},
    {"reconnect_failed", {"Reconnecting failed after %@ attempts", "重新连接失败，已尝试 %@ 次", "重新連線失敗，已嘗試 %@ 次", "Переподключение не удалось, попыток: %@"}},
    // Search, settings, and what a screen reader says.
    {"search_nodes", {"Search by name or country", "按名称或国家搜索", "依名稱或國家搜尋", "Поиск по названию или стране"}},
    {"no_nodes_match", {"No nodes match", "没有匹配的节点", "沒有符合的節點", "Нет подходящих серверов"}},
    {"settings", {"Settings", "设置", "設定", "Настройки"}},
    {"settings_done", {"Done", "完成", "完成", "Готово"}},
    {"settings_account", {"Account", "账号", "帳號", "Аккаунт"}},
    {"settings_language", {"Language", "语言", "語言", "Язык"}},
    {"report_copied", {"Copied", "已复制", "已複製", "Скопировано"}},
    {"a11y_busy", {"Busy", "处理中", "處理中", "Выполняется"}},
    {"a11y_probe", {"Measure the latency of %@", "测量 %@ 的延迟", "測量 %@ 的延遲", "Измерить задержку до %@"}},
    {"a11y_account", {"Signed in as %@", "已登录：%@", "已登入：%@", "Вход выполнен: %@"}},
    {"a11y_load", {"load %@%", "负载 %@%", "負載 %@%", "нагрузка %@%"}},
    {"a11y_latency", {"latency %@ ms", "延迟 %@ 毫秒", "延遲 %@ 毫秒", "задержка %@ мс"}},
    {"a11y_not_measured", {"latency not measured", "延迟未测量", "延遲未測量", "задержка не измерена"}},
    {"a11y_selected", {"selected", "已选择", "已選擇", "выбран"}},
    {"a11y_node_list", {"Nodes", "节点", "節點", "Серверы"}},
    {"a11y_node_list_keys", {"Up and Down move, Space selects, P measures the latency", "上下键移动，空格键选择，P 键测速", "上下鍵移動，空白鍵選擇，P 鍵測速", "Вверх и вниз — переход, пробел — выбрать, P — измерить задержку"}},
    // The command-line client's own lines.
    {"cli_account", {"Account", "账号", "帳號", "Аккаунт"}},
    {"cli_subscription", {"Subscription", "订阅", "訂閱", "Подписка"}},
    {"cli_node", {"Node", "节点", "節點", "Сервер"}},
    {"cli_routing_mode", {"Routing mode", "路由模式", "路由模式", "Режим маршрутизации"}},
    {"cli_language", {"Language", "语言", "語言", "Язык"}},
    {"cli_running", {"Running", "运行中", "執行中", "Работает"}},
    {"cli_running_since", {"%@ · %@ · since %@", "%@ · %@ · 自 %@ 起", "%@ · %@ · 自 %@ 起", "%@ · %@ · с %@"}},
    {"cli_tunnel", {"Tunnel", "隧道", "隧道", "Туннель"}},
    {"cli_not_signed_in", {"not signed in", "未登录", "未登入", "вход не выполнен"}},
    {"cli_none", {"none", "无", "無", "нет"}},
    {"cli_signed_out", {"Signed out", "已退出登录", "已登出", "Выход выполнен"}},
    {"cli_selected", {"Selected %@", "已选择 %@", "已選擇 %@", "Выбран %@"}},
    {"cli_routing_mode_is", {"Routing mode: %@", "路由模式：%@", "路由模式：%@", "Режим маршрутизации: %@"}},
    {"cli_language_is", {"Language: %@", "语言：%@", "語言：%@", "Язык: %@"}},
    {"cli_interrupted", {"interrupted", "已中断", "已中斷", "прервано"}},
    {"cli_login_first", {"not signed in (nimbrel-cli login EMAIL)", "未登录（nimbrel-cli login EMAIL）", "未登入（nimbrel-cli login EMAIL）", "вход не выполнен (nimbrel-cli login EMAIL)"}},
    {"cli_session_ended", {"the session has ended; sign in again (nimbrel-cli login EMAIL)", "会话已结束，请重新登录（nimbrel-cli login EMAIL）", "工作階段已結束，請重新登入（nimbrel-cli login EMAIL）", "сеанс завершён; войдите снова (nimbrel-cli login EMAIL)"}},
    {"cli_account_failed", {"cannot load the account: %@", "无法加载账号：%@", "無法載入帳號：%@", "не удалось загрузить аккаунт: %@"}},
    {"cli_no_such_node", {"no node with id %@", "没有 ID 为 %@ 的节点", "沒有 ID 為 %@ 的節點", "нет сервера с id %@"}},
    {"cli_password_too_short", {"the password needs at least %@ characters", "密码至少需要 %@ 个字符", "密碼至少需要 %@ 個字元", "пароль должен содержать не менее %@ символов"}},
    {"cli_left_running", {"%@ (left running by %@; connect or disconnect takes it over)", "%@（由 %@ 遗留运行；connect 或 disconnect 会接管）", "%@（由 %@ 遺留執行；connect 或 disconnect 會接手）", "%@ (оставлен работать процессом %@; connect или disconnect возьмёт его на себя)"}},
    {"cli_cleanup_unfinished", {"the clean-up has not finished", "清理尚未完成", "清理尚未完成", "очистка не завершена"}},
    {"cli_holder_no_answer", {"%@; it did not answer", "%@；它没有响应", "%@；它沒有回應", "%@; он не ответил"}},
    {"cli_holder_unstoppable", {"%@; it cannot be stopped from here", "%@；无法从这里停止它", "%@；無法從這裡停止它", "%@; отсюда его не остановить"}},
    {"cli_holder_elsewhere", {"%@; stop it there", "%@；请在那里停止它", "%@；請在那裡停止它", "%@; остановите его там"}},
    {"cli_holder_still_stopping", {"%@; it has not finished disconnecting", "%@；它尚未完成断开", "%@；它尚未完成中斷", "%@; он ещё не завершил отключение"}},
    {"cli_helper_searched", {"looked for it, in this order, in: %@", "已按以下顺序查找：%@", "已依下列順序尋找：%@", "искали по порядку в: %@"}},
    {"cli_signed_in_as", {"Signed in as %@", "已登录为 %@", "已登入為 %@", "Вход выполнен как %@"}},
    {"cli_subscribe_at", {"Subscribe to use nodes: %@", "开通订阅以使用节点：%@", "開通訂閱以使用節點：%@", "Оформите подписку для доступа к серверам: %@"}},
    {"cli_no_nodes_match", {"No nodes match \"%@\"", "没有与“%@”匹配的节点", "沒有與「%@」相符的節點", "Нет серверов, подходящих под «%@»"}},
    {"cli_no_node_matches", {"no node matches \"%@\"", "没有与“%@”匹配的节点", "沒有與「%@」相符的節點", "нет сервера, подходящего под «%@»"}},
    {"cli_node_ambiguous", {"\"%@\" is ambiguous: %@ nodes match (connect ID picks one)", "“%@”不唯一：%@ 个节点匹配（用 connect ID 选择其一）", "「%@」不唯一：%@ 個節點相符（用 connect ID 選擇其一）", "«%@» неоднозначно, подходящих серверов: %@ (connect ID выберет один)"}},
};
// clang-format on

QHash<QString, QString> buildTable(AppLanguage language)
{
    const int column = static_cast<int>(language);
    QHash<QString, QString> table;
    table.reserve(std::size(kRows));
    for (const Row &row : kRows)
        table.insert(QString::fromUtf8(row.key), QString::fromUtf8(row.text[column]));
    return table;
}

} // namespace

const QHash<QString, QString> &table(AppLanguage language)
{
    static const QHash<QString, QString> tables[] = {
        buildTable(AppLanguage::en),
        buildTable(AppLanguage::zhCN),
        buildTable(AppLanguage::zhTW),
        buildTable(AppLanguage::ru),
    };
    return tables[static_cast<int>(language)];
}

const QStringList &keys()
{
    static const QStringList ordered = [] {
        QStringList list;
        for (const Row &row : kRows)
            list.append(QString::fromUtf8(row.key));
        return list;
    }();
    return ordered;
}

} // namespace StringTables
