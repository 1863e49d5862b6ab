// The little JSON a feed is: objects, arrays, strings, whole numbers, true, false and null.
package org.corvela.update;

import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

final class Json {
    private final String text;
    private int at;

    private Json(String text) {
        this.text = text;
    }

    /** Maps, lists, strings, longs, booleans and null, or an UpdateException naming `what`. */
    static Object parse(String text, String what) throws UpdateException {
        Json json = new Json(text);
        try {
            Object value = json.value();
            json.blanks();
            if (json.at != text.length()) {
                throw json.error("text after the value");
            }
            return value;
        } catch (IndexOutOfBoundsException | NumberFormatException e) {
            throw new UpdateException(what + " is not valid JSON (at character " + json.at + ")");
        } catch (IllegalArgumentException e) {
            throw new UpdateException(what + " is not valid JSON: " + e.getMessage());
        }
    }

    private IllegalArgumentException error(String why) {
        return new IllegalArgumentException(why + " at character " + at);
    }

    private void blanks() {
        while (at < text.length() && " \t\r\n".indexOf(text.charAt(at)) >= 0) {
            at++;
        }
    }

    private Object value() {
        blanks();
        char c = text.charAt(at);
        if (c == '{') {
            return object();
        }
        if (c == '[') {
            return array();
        }
        if (c == '"') {
            return string();
        }
        for (String word : new String[] {"true", "false", "null"}) {
            if (text.startsWith(word, at)) {
                at += word.length();
                return word.equals("null") ? null : Boolean.valueOf(word.equals("true"));
            }
        }
        int start = at;
        if (c == '-') {
            at++;
        }
        while (at < text.length() && Character.isDigit(text.charAt(at))) {
            at++;
        }
        if (start == at) {
            throw error("unexpected '" + c + "'");
        }
        return Long.valueOf(text.substring(start, at));
    }

    private Map<String, Object> object() {
        Map<String, Object> map = new LinkedHashMap<>();
        at++;
        blanks();
        if (text.charAt(at) == '}') {
            at++;
            return map;
        }
        while (true) {
            blanks();
            String key = string();
            blanks();
            expect(':');
            if (map.put(key, value()) != null) {
                throw error("key \"" + key + "\" given twice");
            }
            blanks();
            if (text.charAt(at) == '}') {
                at++;
                return map;
            }
            expect(',');
        }
    }

    private List<Object> array() {
        List<Object> list = new ArrayList<>();
        at++;
        blanks();
        if (text.charAt(at) == ']') {
            at++;
            return list;
        }
        while (true) {
            list.add(value());
            blanks();
            if (text.charAt(at) == ']') {
                at++;
                return list;
            }
            expect(',');
        }
    }

    private void expect(char c) {
        if (text.charAt(at) != c) {
            throw error("'" + c + "' expected");
        }
        at++;
    }

    private String string() {
        expect('"');
        StringBuilder out = new StringBuilder();
        while (true) {
            char c = text.charAt(at++);
            if (c == '"') {
                return out.toString();
            }
            if (c != '\\') {
                out.append(c);
                continue;
            }
            char e = text.charAt(at++);
            switch (e) {
            case 'n': out.append('\n'); break;
            case 't': out.append('\t'); break;
            case 'r': out.append('\r'); break;
            case 'b': out.append('\b'); break;
            case 'f': out.append('\f'); break;
            case 'u':
                out.append((char) Integer.parseInt(text.substring(at, at + 4), 16));
                at += 4;
                break;
            default: out.append(e);
            }
        }
    }
}
