# Writes the page sets src/pages/en and src/pages/kr (HTML, style, script, images) from one
# description, so both languages keep the same layout. Run after changing it; the pages are
# committed.
import os
root=os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'src', 'pages')
ICONS={
'home':'<path d="M3 11 L12 3 L21 11 V21 H14 V15 H10 V21 H3 Z"/>',
'network':'<circle cx="12" cy="12" r="9" fill="none" stroke-width="2"/><path d="M3 12 H21 M12 3 C7 8 7 16 12 21 C17 16 17 8 12 3" fill="none" stroke-width="2"/>',
'program':'<rect x="3" y="4" width="18" height="16" rx="2"/><rect x="5" y="8" width="14" height="10" fill="#fff"/>',
'ipport':'<path d="M4 6 H14 L18 10 L14 14 H4 Z"/><path d="M20 18 H10 L6 22 V14 Z" opacity=".6"/>',
'shared':'<path d="M2 6 H9 L11 8 H22 V20 H2 Z"/><circle cx="16" cy="14" r="3" fill="#fff"/>',
'log':'<rect x="5" y="3" width="14" height="18" rx="1"/><path d="M8 8 H16 M8 12 H16 M8 16 H13" stroke="#fff" stroke-width="2"/>',
'av':'<path d="M12 2 L20 5 V11 C20 16 16 20 12 22 C8 20 4 16 4 11 V5 Z"/><path d="M8 12 L11 15 L16 9" fill="none" stroke="#fff" stroke-width="2"/>',
'options':'<circle cx="12" cy="12" r="4" fill="none" stroke-width="3"/><path d="M12 2 V6 M12 18 V22 M2 12 H6 M18 12 H22 M5 5 L8 8 M16 16 L19 19 M5 19 L8 16 M16 8 L19 5" stroke-width="2.5"/>',
}
def icon(name,color):
    return f'<svg xmlns="http://www.w3.org/2000/svg" width="24" height="24" viewBox="0 0 24 24" fill="{color}" stroke="{color}" stroke-width="0">{ICONS[name]}</svg>\n'
LOGO='''<svg xmlns="http://www.w3.org/2000/svg" width="20" height="20" viewBox="0 0 64 64">
<path d="M32 4 L56 12 V30 C56 45 45 55 32 60 C19 55 8 45 8 30 V12 Z" fill="#ffffff" opacity=".95"/>
<path d="M21 32 L29 40 L44 24" fill="none" stroke="#1f5f9f" stroke-width="7" stroke-linecap="round" stroke-linejoin="round"/></svg>
'''
HERO='''<svg xmlns="http://www.w3.org/2000/svg" width="96" height="96" viewBox="0 0 64 64">
<defs><linearGradient id="g" x1="0" y1="0" x2="0" y2="1"><stop offset="0" stop-color="#4fa3ea"/><stop offset="1" stop-color="#1c5592"/></linearGradient></defs>
<path d="M32 4 L56 12 V30 C56 45 45 55 32 60 C19 55 8 45 8 30 V12 Z" fill="url(#g)"/>
<path d="M21 32 L29 40 L44 24" fill="none" stroke="#fff" stroke-width="6" stroke-linecap="round" stroke-linejoin="round"/></svg>
'''
CSS='''* { box-sizing: border-box; }
html, body { margin: 0; padding: 0; width: 510px; height: 400px; overflow: hidden; }
body { font-family: Verdana, "DejaVu Sans", "NanumGothic", sans-serif; font-size: 12px; color: #2b3440;
  background: #f3f6fa; user-select: none; cursor: default; }
body.kr { font-family: "NanumGothic", "NanumBarunGothic", Verdana, sans-serif; word-break: keep-all; }
a { color: inherit; text-decoration: none; }
#titlebar { position: absolute; left: 0; top: 0; width: 510px; height: 26px;
  background: linear-gradient(#2f74b8, #1d5591); color: #fff; display: flex; align-items: center; }
#titlebar img { margin: 0 6px 0 7px; }
#titlebar .name { font-weight: bold; font-size: 12px; letter-spacing: .3px; }
#winbtn { position: absolute; right: 0; top: 0; width: 120px; height: 26px; display: flex; justify-content: flex-end; }
#winbtn a { width: 30px; height: 26px; line-height: 26px; text-align: center; font-size: 14px; color: #dce9f7; }
#winbtn a:hover { background: rgba(255,255,255,.18); color: #fff; }
#winbtn a.close:hover { background: #d9473f; }
#nav { position: absolute; left: 0; top: 26px; width: 104px; height: 374px; background: #e4ebf3;
  border-right: 1px solid #cfd9e4; padding-top: 6px; }
#nav a { display: flex; align-items: center; height: 34px; padding-left: 9px; font-size: 11px; color: #34465a;
  border-left: 3px solid transparent; }
#nav a img { width: 18px; height: 18px; margin-right: 7px; }
#nav a:hover { background: #d6e2ee; }
#nav a.active { background: #fff; border-left-color: #2f74b8; color: #1d5591; font-weight: bold; }
#nav a.options { position: absolute; bottom: 6px; left: 0; width: 103px; }
#content { position: absolute; left: 105px; top: 26px; width: 405px; height: 374px; padding: 12px 14px; }
h1 { font-size: 15px; margin: 0 0 3px 0; color: #1d4f86; }
p.lead { margin: 0 0 9px 0; color: #5b6877; font-size: 11px; line-height: 15px; }
#listroom { width: 377px; height: 246px; background: #fff; border: 1px solid #cdd7e2; border-radius: 3px; }
#listroom.tall { height: 272px; }
.actions { margin-top: 9px; display: flex; gap: 7px; justify-content: flex-end; }
.btn { display: inline-block; min-width: 68px; height: 24px; line-height: 22px; padding: 0 10px; text-align: center;
  border: 1px solid #2a67a6; border-radius: 3px; background: linear-gradient(#4a8fd3, #2f74b8); color: #fff; font-size: 11px; }
.btn:hover { background: linear-gradient(#5aa0e2, #3580c8); }
.btn.plain { background: #fff; color: #2f74b8; }
.cards { display: grid; grid-template-columns: 1fr 1fr; gap: 8px; }
.card { display: block; background: #fff; border: 1px solid #d3dde8; border-radius: 4px; padding: 8px 9px; height: 64px; }
.card:hover { border-color: #2f74b8; box-shadow: 0 1px 4px rgba(47,116,184,.25); }
.card b { display: flex; align-items: center; font-size: 12px; color: #1d4f86; margin-bottom: 4px; }
.card b img { width: 16px; height: 16px; margin-right: 6px; }
.card span { font-size: 10.5px; color: #687585; line-height: 13px; }
.status { display: flex; align-items: center; background: #fff; border: 1px solid #d3dde8; border-radius: 4px;
  padding: 8px; margin-bottom: 9px; height: 92px; }
.status img { margin-right: 12px; width: 72px; height: 72px; }
.status h2 { font-size: 14px; margin: 0 0 4px 0; color: #24803a; }
.status p { margin: 0; font-size: 11px; color: #5b6877; line-height: 15px; }
.tabs { display: flex; gap: 4px; margin-bottom: 8px; }
.tabs a { padding: 4px 10px; border: 1px solid #cdd7e2; border-radius: 3px 3px 0 0; background: #e9eff5; font-size: 11px; }
.tabs a.on { background: #fff; color: #1d5591; font-weight: bold; border-bottom-color: #fff; }
#helpwin { display: none; position: absolute; left: 130px; top: 60px; width: 350px; height: 260px; background: #fff;
  border: 1px solid #2f74b8; border-radius: 4px; box-shadow: 0 4px 18px rgba(0,0,0,.3); z-index: 10; }
#helpwin .head { height: 26px; line-height: 26px; padding: 0 8px; background: #2f74b8; color: #fff; font-weight: bold; }
#helpwin .head a { float: right; font-size: 14px; }
#helpwin .body { padding: 10px 12px; font-size: 11px; line-height: 16px; color: #34465a; }
'''
JS='''// Shared script of the pages: the help window that the program opens with F1.
var HELP_TITLE = { en: "Help", kr: "도움말" };
function OpenHelpWindow(url) {
  var topic = String(url).split("#")[1] || "";
  topic = topic.replace(/\\/$/, "");
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
'''
T={
'en':dict(name='Talvoran Firewall',help='Help',minimize='Minimize',close='Close',
  nav=[('home','Home','app:Home'),('network','Network','app:Network'),('program','Programs','app:Program'),('ipport','IP &amp; Port','app:Ip&amp;Port'),('shared','Shared','app:SharedFolder'),('log','Log','app:Log')],
  av='Antivirus',options='Security',
  add='Add',modify='Modify',delete='Delete',scan='Scan',quarantine='Quarantine',restore='Restore',scanpage='Scan',
  pages={
   'home':('Home','',None),
   'network':('Network','Open connections and listening ports of this computer, with the programs that own them. Right-click a row to end a connection or a process.','list'),
   'program':('Program rules','Which programs may connect to the network. Double-click a rule to see the program\'s details.','prog'),
   'ipport':('IP &amp; port rules','Rules for remote addresses and ports that hold for every program.','prog'),
   'shared':('Shared folders','The folders this computer shares on the network.','shared'),
   'log':('Log','The journal of rule changes, day by day.','list'),
   'vorpex':('Virus scan','Scan folders, or the programs that run now, for viruses.','av1'),
   'av_quarantine':('Quarantine','Infected files moved out of reach. Restore a file only when you trust it.','av2'),
  },
  status_h='You are protected',status_p='The firewall watches every new connection of your programs and asks you about those that no rule decides.',
  cards=[('network','Network','Connections and listening ports','app:Network'),('program','Programs','Allow or block programs','app:Program'),('ipport','IP &amp; Port','Rules for addresses and ports','app:Ip&amp;Port'),('log','Log','What changed, and when','app:Log')],
  tabs=('Scan','Quarantine')),
'kr':dict(name='탈보란 방화벽',help='도움말',minimize='최소화',close='닫기',
  nav=[('home','홈','app:Home'),('network','네트워크','app:Network'),('program','프로그램','app:Program'),('ipport','IP/포트','app:Ip&amp;Port'),('shared','공유 폴더','app:SharedFolder'),('log','로그','app:Log')],
  av='바이러스',options='보안 수준',
  add='추가',modify='수정',delete='삭제',scan='검사',quarantine='격리소',restore='복원',scanpage='검사',
  pages={
   'home':('홈','',None),
   'network':('네트워크','이 컴퓨터의 연결과 대기 중인 포트를 해당 프로그램과 함께 보여 줍니다. 행을 오른쪽 단추로 누르면 연결이나 프로세스를 끝낼 수 있습니다.','list'),
   'program':('프로그램 규칙','네트워크에 연결할 수 있는 프로그램을 정합니다. 규칙을 두 번 누르면 프로그램 정보를 볼 수 있습니다.','prog'),
   'ipport':('IP/포트 규칙','모든 프로그램에 적용되는 원격 주소와 포트 규칙입니다.','prog'),
   'shared':('공유 폴더','이 컴퓨터가 네트워크에 공유하는 폴더입니다.','shared'),
   'log':('로그','날짜별 규칙 변경 기록입니다.','list'),
   'vorpex':('바이러스 검사','폴더나 지금 실행 중인 프로그램에 바이러스가 있는지 검사합니다.','av1'),
   'av_quarantine':('격리소','감염되어 격리된 파일입니다. 믿을 수 있는 파일만 복원하십시오.','av2'),
  },
  status_h='보호되고 있습니다',status_p='방화벽이 프로그램의 새 연결을 모두 지켜보고, 규칙으로 정해지지 않은 연결은 사용자에게 묻습니다.',
  cards=[('network','네트워크','연결과 대기 포트','app:Network'),('program','프로그램','프로그램 허용 또는 차단','app:Program'),('ipport','IP/포트','주소와 포트 규칙','app:Ip&amp;Port'),('log','로그','변경 기록','app:Log')],
  tabs=('검사','격리소')),
}
ACTIVE={'home':'home','network':'network','program':'program','ipport':'ipport','shared':'shared','log':'log','vorpex':'av','av_quarantine':'av'}
HELPTOPIC={'home':'home','network':'network','program':'program','ipport':'ipport','shared':'shared','log':'log','vorpex':'vorpex','av_quarantine':'vorpex'}
def page(lang,key):
    t=T[lang]; title,lead,kind=t['pages'][key]
    nav=''
    for icon_,label,href in t['nav']:
        cls=' class="active"' if ACTIVE[key]==icon_ else ''
        nav+=f'  <a{cls} href="{href}"><img src="image/nav_{icon_}.svg" alt="">{label}</a>\n'
    avcls=' class="active"' if ACTIVE[key]=='av' else ''
    nav+=f'  <a id="vorpex"{avcls} href="app:AV" style="visibility: hidden"><img src="image/nav_av.svg" alt="">{t["av"]}</a>\n'
    nav+=f'  <a class="options" href="app:Options"><img src="image/nav_options.svg" alt="">{t["options"]}</a>\n'
    if kind is None:
        cards=''.join(f'<a class="card" href="{h}"><b><img src="image/nav_{i}.svg" alt="">{n}</b><span>{d}</span></a>' for i,n,d,h in t['cards'])
        body=f'''<div class="status"><img src="image/shield.svg" alt=""><div><h2>{t["status_h"]}</h2><p>{t["status_p"]}</p></div></div>
  <div class="cards">{cards}</div>'''
    else:
        acts=''
        tall=''
        if kind=='prog':
            acts=f'<a class="btn" href="app:cmdAdd">{t["add"]}</a><a class="btn plain" href="app:cmdModify">{t["modify"]}</a><a class="btn plain" href="app:cmdDelete">{t["delete"]}</a>'
        elif kind=='shared':
            acts=f'<a class="btn plain" href="app:cmdDelete">{t["delete"]}</a>'
        elif kind=='list':
            tall=' class="tall"'
        tabs=''
        if kind in ('av1','av2'):
            a,b=t['tabs']
            tabs=f'<div class="tabs"><a class="{"on" if kind=="av1" else ""}" href="app:cmdScanPage">{a}</a><a class="{"on" if kind=="av2" else ""}" href="app:cmdQuarantinePage">{b}</a></div>'
            if kind=='av1':
                acts=f'<a class="btn" href="app:cmdScan">{t["scan"]}</a>'
            else:
                acts=f'<a class="btn" href="app:cmdRestore">{t["restore"]}</a><a class="btn plain" href="app:cmdDelete">{t["delete"]}</a>'
            body=f'<h1>{title}</h1>\n  {tabs}\n  <p class="lead">{lead}</p>\n  <div id="listroom" style="height:216px"></div>\n  <div class="actions">{acts}</div>'
        else:
            body=f'<h1>{title}</h1>\n  <p class="lead">{lead}</p>\n  <div id="listroom"{tall}></div>\n  <div class="actions">{acts}</div>'
    topic=HELPTOPIC[key]
    return f'''<!DOCTYPE html>
<html lang="{'ko' if lang=='kr' else 'en'}">
<head>
<meta charset="utf-8">
<title>{t["name"]} - {title}</title>
<link rel="stylesheet" href="image/style.css">
<script src="image/common.js"></script>
</head>
<body class="{lang}">
<div id="titlebar"><img src="image/logo.svg" alt="" width="16" height="16"><span class="name">{t["name"]}</span>
  <div id="winbtn"><a href="javascript:OpenHelpWindow('help.html#{topic}')" title="{t["help"]}">?</a><a href="app:Minimize" title="{t["minimize"]}">&#8211;</a><a class="close" href="app:Close" title="{t["close"]}">&#215;</a></div>
</div>
<div id="nav">
{nav}</div>
<div id="content">
  {body}
</div>
<div id="helpwin"><div class="head"><span class="title"></span><a href="javascript:CloseHelpWindow()">&#215;</a></div><div class="body"></div></div>
</body>
</html>
'''
for lang in ('en','kr'):
    d=os.path.join(root,lang); os.makedirs(os.path.join(d,'image'),exist_ok=True)
    for key in T[lang]['pages']:
        open(os.path.join(d,key+'.html'),'w').write(page(lang,key))
    open(os.path.join(d,'image','style.css'),'w').write(CSS)
    open(os.path.join(d,'image','common.js'),'w').write(JS)
    open(os.path.join(d,'image','logo.svg'),'w').write(LOGO)
    open(os.path.join(d,'image','shield.svg'),'w').write(HERO)
    for name in ICONS:
        open(os.path.join(d,'image',f'nav_{name}.svg'),'w').write(icon(name,'#2f74b8'))
