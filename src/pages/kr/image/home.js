// The home page's state, filled in by the program (ShowHomeState) whenever it changes.
function HomeEl(tag, cls, text) {
  var e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}
function HomeAction(id, command, label, cls) {
  var a = HomeEl("a", cls, label);
  a.id = id;
  a.href = "app:" + command;
  a.setAttribute("role", "button");
  a.setAttribute("aria-label", label);
  return a;
}
function ShowHomeState(s) {
  var status = document.getElementById("status");
  status.className = "status home " + (s.protected ? "ok" : "bad");
  document.getElementById("statusIcon").src = s.protected ? "image/shield.svg" : "image/shield_off.svg";
  document.getElementById("headline").textContent = s.headline;
  document.getElementById("summary").textContent = s.summary;
  status.setAttribute("aria-label", s.headline);
  var problems = document.getElementById("problems");
  problems.textContent = "";
  s.problems.forEach(function (p, i) {
    var row = HomeEl("div", "problem");
    row.id = "problem" + i;
    row.appendChild(HomeEl("span", "text", p.text));
    if (p.command) row.appendChild(HomeAction("fix-" + p.command, p.command, p.button, "btn"));
    problems.appendChild(row);
  });
  var body = document.getElementById("facts");
  body.textContent = "";
  s.rows.forEach(function (r) {
    var tr = HomeEl("tr");
    tr.id = "row-" + r.key;
    tr.appendChild(HomeEl("th", "", r.label));
    var td = HomeEl("td", r.warning ? "value warn" : "value");
    td.appendChild(HomeEl("span", "", r.value));
    if (r.command) {
      td.appendChild(document.createTextNode(" "));
      td.appendChild(HomeAction("act-" + r.key, r.command, r.button, "link"));
    }
    tr.appendChild(td);
    body.appendChild(tr);
  });
  document.body.setAttribute("data-state", s.protected ? "protected" : "unprotected");
}
