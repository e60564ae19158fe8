#include "server/login_page.h"

#include <string>

#include "platform/fs.h"
#include "platform/text_file.h"
#include "server/request_failure.h"

namespace server {

static const char kLoginPagePath[] = "DATA/HTML/index.html";

void write_login_page_template() {
    platform::make_directory("DATA/HTML");
    platform::AtomicFile page(kLoginPagePath, platform::work_name_for(kLoginPagePath));
    if (!page.ok()) fail_request("cannot create the login page");
    page.out().write(
        "<!DOCTYPE HTML PUBLIC '-//W3C//DTD HTML 4.01 Transitional//EN' \n"
        "'http://www.w3.org/TR/html4/loose.dtd'>\n"
        "<html>\n"
        "<head>\n"
        "<meta http-equiv='Content-Script-Type' content='text/javascript'>\n"
        "<meta http-equiv='Content-Style-Type' content='text/css'>\n"
        "<meta http-equiv='Content-Type' content='text/html;charset=Shift_JIS'>\n"
        "<title>コモレビ　－ログイン－</title>\n"
        "<script type='text/javascript'>\n"
        "<!--\n"
        "function m_sub_FormCheck() {\n"
        "if (document.formlogin.id.value == '') {\n"
        "alert('[ ＩＤ ]が入力されていません。入力して下さい。');\n"
        "document.formlogin.id.focus();\n"
        "return(false);\n"
        "}\n"
        "if (document.formlogin.password.value == '') {\n"
        "alert('[ パスワード ]が入力されていません。入力して下さい。');\n"
        "document.formlogin.password.focus();\n"
        "return(false);\n"
        "}\n"
        "}\n"
        "//-->\n"
        "</script>\n"
        "</head>\n"
        "<body>\n"
        "<h1>コモレビ</h1>\n"
        "<hr>\n"
        "<p>ログインを行って下さい。</p>\n"
        "<form name='formlogin' method='post' action='wbk_login.cgi' onsubmit='return m_sub_FormCheck()' target='_top'>\n"
        "<p class='bold'>ID<br>\n"
        "<input type='text' name='id' size='100' maxlength='50'>\n"
        "</p>\n"
        "<p class='bold'>Password<br>\n"
        "<input type='text' name='password' size='100' maxlength='50'>\n"
        "<p>\n"
        "<input type='submit' name='login' value='送信'>\n"
        "<input type='reset' name='リセット' value='リセット'>\n"
        "</form>\n"
        "<hr>\n"
        "</body>\n"
        "</html>\n");
    if (!page.commit()) fail_request("cannot write the login page");
}

void login_page_reply(Reply& reply) {
    platform::RawReader page;
    if (!page.open(kLoginPagePath)) {
        write_login_page_template();
        if (!page.open(kLoginPagePath)) fail_request("cannot open the login page");
    }
    file_reply(reply, page, "text/html\n");
}

}  // namespace server
