// The answers a question's screen offers, as buttons. Each reply is what the agent types: a
// numbered option's digit; for a menu without digits the option's position, which the agent
// turns into arrow keys and Enter; "y" or "n" for a yes/no prompt; "" for Enter alone.
export type QuickAnswer = { label: string; reply: string };

const numbered = /^[\s❯>›]*(\d+)[.)]\s+(.+?)\s*$/;
const cursor = /^(\s*)[❯›>]\s+(\S.*?)\s*$/;
const yesNo = /\((?:y\/n|yes\/no|Y\/n|y\/N)\)|\[(?:y\/n|Y\/n|y\/N)\]/;

function contentLines(context: string) {
  return context
    .split('\n')
    .map((line) => line.replace(/[│┃║╭╮╰╯─━═]/g, ' ').replace(/\s+$/, ''))
    .filter((line) => line.trim() !== '');
}

export function quickAnswers(context: string, questionText: string): QuickAnswer[] {
  const lines = contentLines(context).slice(-15);
  if (yesNo.test(questionText) || yesNo.test(lines[lines.length - 1] ?? ''))
    return [
      { label: 'Yes', reply: 'y' },
      { label: 'No', reply: 'n' },
    ];
  // A numbered menu: the run of "N. Label" lines nearest the bottom.
  const options: QuickAnswer[] = [];
  for (let i = lines.length - 1; i >= 0; --i) {
    const match = numbered.exec(lines[i]);
    if (match) options.unshift({ label: `${match[1]}. ${match[2]}`, reply: match[1] });
    else if (options.length > 0 && !/^\s{3,}/.test(lines[i])) break;
  }
  if (options.length >= 2) return options;

  // A menu without digits: the cursor's line and the lines aligned with its label.
  const at = lines.findIndex((line) => cursor.test(line));
  if (at >= 0) {
    const [, indent, label] = cursor.exec(lines[at])!;
    const column = lines[at].indexOf(label);
    const aligned = (line: string) =>
      line.length > column && line.slice(0, column).trim() === '' && line[column] !== ' ' && indent.length < column;
    let first = at;
    while (first > 0 && aligned(lines[first - 1])) --first;
    let last = at;
    while (last + 1 < lines.length && aligned(lines[last + 1])) ++last;
    if (last > first) {
      const menu: QuickAnswer[] = [];
      for (let i = first; i <= last; ++i) menu.push({ label: lines[i].slice(column).trim(), reply: String(menu.length + 1) });
      return menu;
    }
  }

  return [{ label: 'Enter', reply: '' }];
}
