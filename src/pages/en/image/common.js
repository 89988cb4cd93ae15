// Shared script of the pages: the help window that the program opens with F1.
var HELP_TITLE = { en: "Help", kr: "도움말" };
function OpenHelpWindow(url) {
  var topic = String(url).split("#")[1] || "";
  topic = topic.replace(/\/$/, "");
  var lang = document.body.className.indexOf("kr") >= 0 ? "kr" : "en";
  var texts = HELP_TEXT[lang] || HELP_TEXT.en;
  var w = document.getElementById("helpwin");
  if (!w) return;
  w.querySelector(".title").textContent = HELP_TITLE[lang];
  w.querySelector(".body").innerHTML = texts[topic] || texts.home;
  w.setAttribute("data-topic", topic);
  w.style.display = "block";
}
function CloseHelpWindow() {
  var w = document.getElementById("helpwin");
  if (w) w.style.display = "none";
}
var HELP_TEXT = {
  en: {
    home: "Use the links on the left to open the firewall's screens.",
    network: "<b>Network</b><br>Every open connection and listening port of this computer with the program that owns it. New connections are shown in green, closed ones in red for a moment.",
    program: "<b>Programs</b><br>A rule tells whether a program may connect: <i>Allow</i>, <i>Block</i>, or <i>Policy</i> for a table of addresses and ports. Add, change or delete rules with the buttons below the list.",
    ipport: "<b>IP &amp; Port</b><br>Rules for remote addresses and ports that hold for every program. System and hacking-tool ports are protected and cannot be deleted.",
    shared: "<b>Shared folders</b><br>The folders this computer shares on the network. Select one and press Delete to stop sharing it.",
    log: "<b>Log</b><br>The journal of rule changes. Choose the days to show with the date fields.",
    vorpex: "<b>Antivirus</b><br>Scan folders or the running programs for viruses, and restore or delete the files kept in quarantine."
  },
  kr: {
    home: "왼쪽 메뉴에서 방화벽의 각 화면을 열 수 있습니다.",
    network: "<b>네트워크</b><br>이 컴퓨터의 모든 연결과 대기 중인 포트를 해당 프로그램과 함께 보여 줍니다. 새 연결은 녹색, 끊어진 연결은 잠시 빨간색으로 표시됩니다.",
    program: "<b>프로그램</b><br>프로그램별로 연결을 <i>허용</i>, <i>차단</i>하거나 주소와 포트 표(<i>정책</i>)로 결정합니다. 목록 아래 단추로 규칙을 추가, 수정, 삭제합니다.",
    ipport: "<b>IP/포트</b><br>모든 프로그램에 적용되는 원격 주소와 포트 규칙입니다. 시스템 포트와 해킹 도구 포트 규칙은 보호되어 삭제할 수 없습니다.",
    shared: "<b>공유 폴더</b><br>이 컴퓨터가 네트워크에 공유하는 폴더입니다. 폴더를 선택하고 삭제를 누르면 공유가 해제됩니다.",
    log: "<b>로그</b><br>규칙 변경 기록입니다. 날짜 칸에서 볼 기간을 고르십시오.",
    vorpex: "<b>바이러스 검사</b><br>폴더나 실행 중인 프로그램을 검사하고, 격리된 파일을 복원하거나 삭제합니다."
  }
};
