-- Checks the syntax groups of the annotated samples (*.def) beside this
-- script. A sample is definition
-- text with assertion lines under the line they describe, in the notation of
-- the VS Code grammar tests: "/*", then carets under the columns concerned
-- (or "<" with one "-" per column from the first, "~" skipping columns), then
-- the innermost syntax group expected there, or "- GROUP" for one that must
-- not be there. Assertion lines are taken out before the text is highlighted.
local failures, checks = 0, 0

local function parse_assertion(line)
  local rest = line:sub(3)
  local spans = {}
  local tildes, dashes, assertion = rest:match('^%s*<(~*)(%-+)%s+(.*)$')
  if dashes then
    table.insert(spans, { from = #tildes, to = #tildes + #dashes })
  else
    local carets
    carets, assertion = rest:match('^(%s*%^[%^%s]*)%s(.*)$')
    if not carets then
      return nil
    end
    local col = 1
    while true do
      local s, e = carets:find('%^+', col)
      if not s then break end
      table.insert(spans, { from = s + 1, to = e + 2 })
      col = e + 1
    end
  end
  local negated, group = assertion:match('^(%-?)%s*(%S+)%s*$')
  return { spans = spans, group = group, negated = negated == '-' }
end

local function check_sample(path)
  local source, assertions = {}, {}
  for line in io.lines(path) do
    local assertion = line:sub(1, 2) == '/*' and parse_assertion(line)
    if assertion then
      assertion.line = #source
      assertion.text = line
      table.insert(assertions, assertion)
    else
      table.insert(source, line)
    end
  end
  vim.cmd('enew!')
  vim.api.nvim_buf_set_lines(0, 0, -1, false, source)
  vim.bo.filetype = 'tabula'
  for _, a in ipairs(assertions) do
    for _, span in ipairs(a.spans) do
      for col = span.from, span.to - 1 do
        checks = checks + 1
        local name = vim.fn.synIDattr(vim.fn.synID(a.line, col + 1, 1), 'name')
        if (name == a.group) == a.negated then
          failures = failures + 1
          print(string.format('%s:%d:%d: %s expected, found %s\n  %s\n  %s', path, a.line, col + 1,
            (a.negated and 'no ' or '') .. a.group, name == '' and 'no group' or name, source[a.line], a.text))
        end
      end
    end
  end
end

vim.cmd('syntax on')
local here = vim.fn.fnamemodify(debug.getinfo(1, 'S').source:sub(2), ':p:h')
for _, path in ipairs(vim.fn.glob(here .. '/*.def', false, true)) do
  check_sample(path)
end
print(string.format('%d columns checked, %d wrong', checks, failures))
vim.cmd(checks > 0 and failures == 0 and 'qall!' or 'cquit 1')
