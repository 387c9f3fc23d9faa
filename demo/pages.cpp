#include "pages.h"

#include "web_text.h"

namespace korvalo::demo {

const char* const kDefaultMessage =
    "<p>Платёжное поручение № 42: перечислить <b>1 250,00 руб.</b> получателю "
    "«ООО Ромашка» — оплата по счёту 7/2024.</p>";

namespace {

const char* const kStyle = R"(<style>
body { font-family: sans-serif; margin: 2em auto; max-width: 62em; color: #222; }
section { border: 1px solid #ccc; border-radius: 6px; padding: 0.8em 1.2em; margin: 1em 0; }
h1 { font-size: 1.5em; } h2 { font-size: 1.15em; margin-top: 0.2em; }
input[type=text] { width: 100%; box-sizing: border-box; padding: 0.3em; }
button { padding: 0.4em 1.2em; margin-top: 0.5em; }
table { border-collapse: collapse; margin: 0.5em 0; }
td, th { border: 1px solid #ccc; padding: 0.25em 0.6em; text-align: left; vertical-align: top; }
.ok { color: #11772d; font-weight: bold; } .bad { color: #b3141b; font-weight: bold; }
.wait { color: #8a6d00; font-weight: bold; } #status { min-height: 1.5em; font-weight: bold; }
pre { white-space: pre-wrap; word-break: break-all; background: #f6f6f6; padding: 0.5em; }
#korvalo-help { border: 2px solid #b3141b; border-radius: 6px; background: #fff6f5;
  padding: 0.6em 1.2em 1em; margin: 1em 0; }
#korvalo-help h2 { color: #b3141b; } #korvalo-help h3 { font-size: 1em; margin: 1em 0 0.3em; }
#korvalo-help:not([data-reason=unclear]) h3 { display: none; }
#korvalo-help ol { margin: 0.3em 0; padding-left: 1.6em; } #korvalo-help li { margin: 0.2em 0; }
</style>)";

std::string Head(const std::string& title, const std::string& extra = "") {
    return "<!DOCTYPE html>\n<html lang=\"ru\"><head><meta charset=\"utf-8\">" + extra + "<title>" +
           HtmlEscape(title) + "</title>" + kStyle + "</head><body>\n";
}

std::string StateText(const std::string& state) {
    if (state == "verified")
        return "<span class=\"ok\">подпись проверена</span>";
    if (state == "failed")
        return "<span class=\"bad\">проверка не пройдена</span>";
    return "<span class=\"wait\">ждём выгрузку от Korvalo</span>";
}

std::string KindText(const std::string& kind, bool useIdCard) {
    std::string text = kind == "message" ? "сообщение" : kind == "file" ? "файл" : "документы";
    if (useIdCard)
        text += " (ID-карта)";
    return text;
}

std::string YesNo(bool value) {
    return value ? "<span class=\"ok\">да</span>" : "<span class=\"bad\">нет</span>";
}

std::string Str(const nlohmann::ordered_json& json, const char* name) {
    const auto it = json.find(name);
    return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
}

const char* const kScript = R"JS(
function showStatus(text, link) {
  const status = document.getElementById('status');
  status.textContent = text;
  if (link) {
    const a = document.createElement('a');
    a.href = link; a.textContent = 'Открыть результат запроса';
    status.append(' ', a);
  }
}
async function newRequest(kind, idcard, message) {
  const answer = await fetch('/new?kind=' + kind + (idcard ? '&idcard=1' : ''), {
    method: 'POST', headers: {'Content-Type': 'text/plain; charset=utf-8'}, body: message || ''});
  if (!answer.ok) throw new Error(await answer.text());
  return answer.json();
}
function fillAndSubmit(form, fields) {
  for (const [name, value] of Object.entries(fields)) {
    const input = form.elements.namedItem(name);
    if (input) input.value = value;
  }
  form.submit();
}
function formAction(formId, kind, idcardBoxId) {
  document.getElementById(formId).addEventListener('submit', async (event) => {
    event.preventDefault();
    const form = event.target;
    const idcard = document.getElementById(idcardBoxId).checked;
    const message = form.elements.namedItem('crpt_message');
    try {
      const request = await newRequest(kind, idcard, message ? message.value : '');
      showStatus('Запрос ' + request.req + ' отправлен в Korvalo.');
      fillAndSubmit(form, request.form);
    } catch (e) {
      showStatus('Не удалось начать запрос: ' + e.message);
    }
  });
}
// The state of this site's permission to reach apps on this device ("loopback-network";
// "local-network-access" in older Chromium), or 'unknown' where the browser has no such permission.
async function loopbackPermission() {
  for (const name of ['loopback-network', 'local-network-access']) {
    try {
      return (await navigator.permissions.query({name})).state;
    } catch (e) {
      // the browser does not know this name
    }
  }
  return 'unknown';
}

// Why a fetch to Korvalo failed: 'refused' (the browser's local-network rule), 'notRunning',
// 'noAnswer' (Korvalo ended the request without an answer the page may read) or 'unclear'
// (refused or not running: this browser does not say which). startedAt: performance.now()
// taken just before the fetch.
async function whyKorvaloFailed(startedAt) {
  const permission = await loopbackPermission();
  if (permission === 'denied') return 'refused';
  // A refused connection fails at once; Korvalo's window takes a person's time.
  const quick = performance.now() - startedAt < 1500;
  if (permission === 'granted') return quick ? 'notRunning' : 'noAnswer';
  return 'unclear';
}

const HELP_TITLES = {
  refused: 'Браузер не пустил страницу к Korvalo',
  notRunning: 'Korvalo не отвечает',
  noAnswer: 'Korvalo завершил запрос без ответа',
  unclear: 'Не удалось связаться с Korvalo',
};
const HELP_PARTS = {
  refused: ['refused'], notRunning: ['notRunning'], noAnswer: ['noAnswer'],
  unclear: ['unclear', 'refused', 'notRunning'],
};
let failedBatch = null;
let attempts = 0;

function hideHelp() {
  document.getElementById('korvalo-help').hidden = true;
}
function showHelp(reason) {
  const help = document.getElementById('korvalo-help');
  help.dataset.reason = reason;
  help.dataset.attempt = String(attempts);
  document.getElementById('korvalo-help-title').textContent = HELP_TITLES[reason];
  for (const part of help.querySelectorAll('[data-part]'))
    part.hidden = !HELP_PARTS[reason].includes(part.dataset.part);
  help.hidden = false;
  help.scrollIntoView({block: 'nearest'});
}

async function sendBatch(request) {
  hideHelp();
  attempts += 1;
  let text = 'Запрос ' + request.req + ' отправлен в Korvalo. Подтвердите подпись в его окне.';
  if (await loopbackPermission() === 'prompt')
    text += ' Если браузер спросит, разрешить ли этому сайту доступ к приложениям на этом ' +
            'устройстве, ответьте «Разрешить»: иначе документы не попадут в Korvalo.';
  showStatus(text);
  const startedAt = performance.now();
  let answer;
  try {
    answer = await fetch(request.korvalo, {method: 'POST',
      headers: {'Content-Type': 'application/json'}, body: request.document});
  } catch (e) {
    failedBatch = request;
    const reason = await whyKorvaloFailed(startedAt);
    showStatus('Запрос ' + request.req + (reason === 'noAnswer' ? ' не подписан.' :
               ' не дошёл до Korvalo.'), request.resultUrl);
    showHelp(reason);
    return;
  }
  failedBatch = null;
  const answerText = await answer.text();
  if (answer.status === 200) {
    window.location.href = request.resultUrl;
  } else if (answer.status === 499) {
    showStatus('Korvalo: ' + answerText, request.resultUrl);
  } else {
    showStatus('Korvalo ответил статусом ' + answer.status + ': ' + answerText, request.resultUrl);
  }
}
async function signBatch(idcard) {
  hideHelp();
  let request;
  try {
    request = await newRequest('batch', idcard);
  } catch (e) {
    showStatus('Не удалось начать запрос: ' + e.message);
    return;
  }
  await sendBatch(request);
}
formAction('form-message', 'message', 'message-idcard');
formAction('form-file', 'file', 'file-idcard');
document.getElementById('sign-batch').addEventListener('click', () => signBatch(false));
document.getElementById('sign-batch-idcard').addEventListener('click', () => signBatch(true));
document.getElementById('korvalo-retry').addEventListener('click', () => {
  if (failedBatch) sendBatch(failedBatch);
});
)JS";

// What the page shows when its batch request did not reach Korvalo: hidden until then; the
// script shows the parts that fit the reason it found.
std::string HelpBox(const std::string& korvaloUrl) {
    return "<div id=\"korvalo-help\" hidden>\n"
           "<h2 id=\"korvalo-help-title\">Не удалось связаться с Korvalo</h2>\n"
           "<div data-part=\"unclear\"><p>Браузер не сообщает, что помешало. Причин может быть "
           "две: проверьте обе.</p></div>\n"
           "<div data-part=\"refused\"><h3>Если браузер не дал этому сайту доступа к "
           "Korvalo</h3>\n"
           "<p>Korvalo — программа на вашем компьютере. Браузер пускает к таким программам "
           "только те сайты, которым вы разрешили <b>доступ к приложениям на этом "
           "устройстве</b>. Без этого разрешения документы не попадают в Korvalo.</p>\n"
           "<ol><li>Нажмите на значок слева от адреса сайта (замок или «Настройки сайта»).</li>\n"
           "<li>Найдите разрешение «Приложения на этом устройстве» (в некоторых браузерах — "
           "«Локальная сеть» или «Устройства в локальной сети») и выберите «Разрешить».</li>\n"
           "<li>Если браузер сам спросит, разрешить ли сайту доступ к приложениям и сервисам на "
           "этом устройстве, ответьте «Разрешить».</li>\n"
           "<li>Нажмите «Попробовать снова».</li></ol></div>\n"
           "<div data-part=\"notRunning\"><h3>Если Korvalo не запущен</h3>\n"
           "<p>Страница обращается к Korvalo по адресу <code>" +
           korvaloUrl +
           "</code> на этом компьютере. Когда Korvalo не запущен, там никто не отвечает.</p>\n"
           "<ol><li>Запустите Korvalo. Когда он работает, его значок виден в области "
           "уведомлений.</li>\n"
           "<li>Если Korvalo уже запущен, выйдите из него через меню значка и запустите "
           "снова.</li>\n"
           "<li>Нажмите «Попробовать снова».</li></ol></div>\n"
           "<div data-part=\"noAnswer\"><p>Korvalo получил документы, но закрыл запрос без "
           "ответа: окно подписи закрыто крестиком в заголовке, или подпись не удалась. "
           "Документы не подписаны; подробности — в журнале Korvalo.</p>\n"
           "<ol><li>Нажмите «Попробовать снова», чтобы подписать их заново.</li></ol></div>\n"
           "<button type=\"button\" id=\"korvalo-retry\">Попробовать снова</button>\n"
           "</div>\n";
}

std::string SignatureRows(const nlohmann::ordered_json& signatures) {
    std::string html =
        "<table><tr><th>Документ</th><th>Подпись верна</th><th>Цепочка до демо-УЦ</th>"
        "<th>Кто подписал</th><th>Серийный номер</th><th>Алгоритм хэширования</th>"
        "<th>Время подписи</th><th>Ошибка</th></tr>\n";
    for (const auto& s : signatures) {
        const auto& signer = s["signer"];
        const auto& digest = s["digest"];
        std::string who, serial, digestText, error;
        if (signer.is_object()) {
            who = HtmlEscape(Str(signer, "commonName"));
            serial = HtmlEscape(Str(signer, "serialText"));
        }
        if (digest.is_object())
            digestText =
                HtmlEscape(Str(digest, "name")) + " (" + HtmlEscape(Str(digest, "oid")) + ")";
        if (!Str(s, "korvaloError").empty())
            error += "Korvalo: " + HtmlEscape(Str(s, "korvaloError")) + "<br>";
        error += HtmlEscape(Str(s, "error"));
        if (!s.value("chainsToCa", false) && !Str(s, "chainError").empty())
            error += (error.empty() ? "" : "<br>") + std::string("Цепочка: ") +
                     HtmlEscape(Str(s, "chainError"));
        const std::string document =
            s["document"].is_string() ? HtmlEscape(s["document"].get<std::string>()) : "—";
        html += "<tr><td>" + document + "</td><td>" + YesNo(s.value("verified", false)) +
                "</td><td>" + YesNo(s.value("chainsToCa", false)) + "</td><td>" + who +
                "</td><td>" + serial + "</td><td>" + digestText + "</td><td>" +
                (s["signingTime"].is_string() ? HtmlEscape(s["signingTime"].get<std::string>())
                                              : std::string("—")) +
                "</td><td>" + error + "</td></tr>\n";
    }
    return html + "</table>\n";
}

}  // namespace

std::string IndexPage(const std::string& korvaloUrl, const nlohmann::ordered_json& requests) {
    const std::string action = HtmlEscape(korvaloUrl);
    std::string html = Head("Демонстрационный сервис Korvalo");
    html += "<h1>Демонстрационный сервис Korvalo</h1>\n";
    html += "<p>Эта страница просит Korvalo (<code>" + action +
            "</code>) подписать сообщение, файл или несколько документов. Korvalo показывает "
            "окно подписи, отправляет подпись сюда, а этот сервис проверяет её.</p>\n";
    html += "<div id=\"status\"></div>\n";
    html += HelpBox(action);

    html += "<section id=\"action-message\"><h2>Подписать сообщение</h2>\n";
    html += "<form id=\"form-message\" method=\"post\" action=\"" + action +
            "\" accept-charset=\"UTF-8\">\n"
            "<input type=\"hidden\" name=\"urlToAnswer\" value=\"\">\n"
            "<input type=\"hidden\" name=\"urlToRedirect\" value=\"\">\n"
            "<label>Текст сообщения (HTML):<br><input type=\"text\" name=\"crpt_message\" "
            "value=\"" +
            HtmlEscape(kDefaultMessage) +
            "\"></label>\n"
            "<input type=\"hidden\" name=\"crpt_cookie\" value=\"\">\n"
            "<input type=\"hidden\" name=\"useIdCard\" value=\"0\">\n"
            "<input type=\"hidden\" name=\"req\" value=\"\">\n"
            "<label><input type=\"checkbox\" id=\"message-idcard\"> через ID-карту</label><br>\n"
            "<button type=\"submit\">Подписать сообщение</button>\n</form></section>\n";

    html += "<section id=\"action-file\"><h2>Подписать файл</h2>\n";
    html += "<p>Korvalo попросит выбрать файл на этом компьютере.</p>\n";
    html += "<form id=\"form-file\" method=\"post\" action=\"" + action +
            "\" accept-charset=\"UTF-8\">\n"
            "<input type=\"hidden\" name=\"urlToAnswer\" value=\"\">\n"
            "<input type=\"hidden\" name=\"urlToRedirect\" value=\"\">\n"
            "<input type=\"hidden\" name=\"crpt_cookie\" value=\"\">\n"
            "<input type=\"hidden\" name=\"useIdCard\" value=\"0\">\n"
            "<input type=\"hidden\" name=\"req\" value=\"\">\n"
            "<label><input type=\"checkbox\" id=\"file-idcard\"> через ID-карту</label><br>\n"
            "<button type=\"submit\">Подписать файл</button>\n</form></section>\n";

    html +=
        "<section id=\"action-batch\"><h2>Подписать документы</h2>\n"
        "<p>Три документа (текст, XML и двоичные данные) уходят в Korvalo одним "
        "JSON-запросом.</p>\n"
        "<button type=\"button\" id=\"sign-batch\">Подписать документы</button></section>\n";
    html +=
        "<section id=\"action-batch-idcard\"><h2>Подписать документы ID-картой</h2>\n"
        "<p>Те же три документа подписывает ID-карта через службу карты, без окна "
        "Korvalo.</p>\n"
        "<button type=\"button\" id=\"sign-batch-idcard\">Подписать документы "
        "ID-картой</button></section>\n";

    html += "<section><h2>Последние запросы</h2>\n";
    if (requests.empty()) {
        html += "<p>Запросов пока не было.</p>\n";
    } else {
        html += "<table><tr><th>Запрос</th><th>Что</th><th>Создан</th><th>Состояние</th></tr>\n";
        const std::size_t shown = std::min<std::size_t>(requests.size(), 20);
        for (std::size_t i = 0; i < shown; ++i) {
            const auto& r = requests[requests.size() - 1 - i];
            const std::string id = HtmlEscape(Str(r, "req"));
            html += "<tr><td><a href=\"/result?req=" + id + "\">" + id + "</a></td><td>" +
                    KindText(Str(r, "kind"), r.value("useIdCard", false)) + "</td><td>" +
                    HtmlEscape(Str(r, "created")) + "</td><td>" + StateText(Str(r, "state")) +
                    "</td></tr>\n";
        }
        html += "</table>\n";
    }
    html += "<p><a href=\"/results.json\">Все результаты в JSON</a></p></section>\n";
    html += "<script>" + std::string(kScript) + "</script>\n</body></html>\n";
    return html;
}

std::string ResultPage(const IssuedRequest& request) {
    const nlohmann::ordered_json json = request.ToJson();
    const std::string state = json["state"];
    const std::string id = HtmlEscape(request.id);
    std::string html =
        Head("Результат запроса " + request.id,
             state == "waiting" ? "<meta http-equiv=\"refresh\" content=\"5\">" : "");
    html += "<h1>Запрос " + id + ": " + KindText(json["kind"], request.useIdCard) + "</h1>\n";
    html += "<p>Создан " + HtmlEscape(json["created"].get<std::string>()) +
            ". Состояние: " + StateText(state) + ".</p>\n";

    html += "<section><h2>Что отправлено на подпись</h2>\n";
    if (request.kind == RequestKind::Message) {
        html += "<p>Сообщение (Korvalo подписывает его в кодировке windows-1251, " +
                std::to_string(request.messageBytes.size()) + " байт):</p><pre>" +
                HtmlEscape(request.message) + "</pre>\n";
    } else if (request.kind == RequestKind::File) {
        html += "<p>Файл, который пользователь выбирает в окне Korvalo.</p>\n";
    } else {
        html += "<table><tr><th>id</th><th>Документ</th><th>Размер</th></tr>\n";
        for (const SentDocument& d : request.documents)
            html += "<tr><td>" + HtmlEscape(d.id) + "</td><td>" + HtmlEscape(d.title) +
                    "</td><td>" + std::to_string(d.bytes.size()) + " байт</td></tr>\n";
        html += "</table>\n";
    }
    html += "</section>\n";

    if (request.uploads.empty()) {
        html +=
            "<section><h2>Выгрузка</h2><p>Выгрузка от Korvalo ещё не получена "
            "(страница обновляется сама).</p></section>\n";
    } else {
        const auto& upload = request.uploads.back();
        html += "<section><h2>Выгрузка от Korvalo</h2>\n";
        html += "<p>Получена " + HtmlEscape(Str(upload, "received")) + ", версия Korvalo " +
                HtmlEscape(upload["korvaloVersion"].is_string()
                               ? upload["korvaloVersion"].get<std::string>()
                               : std::string("—")) +
                ". Cookie сессии совпадает: " + YesNo(upload.value("cookieMatches", false)) + ".";
        if (request.uploads.size() > 1)
            html += " Всего выгрузок: " + std::to_string(request.uploads.size()) +
                    ", показана последняя.";
        html += "</p>\n";
        const auto& file = upload["file"];
        html += "<p>Файл <code>" + HtmlEscape(Str(file, "name")) + "</code>, " +
                std::to_string(file.value("size", 0)) + " байт, SHA-256 <code>" +
                HtmlEscape(Str(file, "sha256")) + "</code>";
        if (file["matchesSent"].is_boolean())
            html += ", совпадает с отправленным: " + YesNo(file["matchesSent"].get<bool>());
        html += ".</p>\n";
        html += SignatureRows(upload["signatures"]);
        if (!upload["problems"].empty()) {
            html += "<p class=\"bad\">Замечания:</p><ul>\n";
            for (const auto& p : upload["problems"])
                html += "<li>" + HtmlEscape(p.get<std::string>()) + "</li>\n";
            html += "</ul>\n";
        }
        html += "<p>Поля выгрузки:</p><table><tr><th>Имя</th><th>Значение</th></tr>\n";
        for (const auto& f : upload["fields"])
            html += "<tr><td>" + HtmlEscape(Str(f, "name")) + "</td><td>" +
                    HtmlEscape(Str(f, "value")) + "</td></tr>\n";
        html += "</table></section>\n";
    }
    html += "<p><a href=\"/\">На главную</a> · <a href=\"/results.json?req=" + id +
            "\">JSON</a></p>\n</body></html>\n";
    return html;
}

std::string NotFoundPage(const std::string& text) {
    return Head("Не найдено") + "<h1>Не найдено</h1><p>" + HtmlEscape(text) +
           "</p><p><a href=\"/\">На главную</a></p></body></html>\n";
}

}  // namespace korvalo::demo
